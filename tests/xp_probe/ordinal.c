/* Imports a function of comctl32.dll by its number alone (ordinal.def): the
   import check cannot tell what it is, so it must refuse it. */
void ProbeByOrdinal(void);

int main(void) {
    ProbeByOrdinal();
    return 0;
}
