/* Stands in for a provider's RAPI.DLL in the system directory that imports
   a helper of its own, which the system directory lacks: the planted
   marker.dll must not be found for it in the program's folder. */
__declspec(dllimport) int MarkerVersion(void);

__declspec(dllexport) int ImporterVersion(void) {
    return MarkerVersion();
}
