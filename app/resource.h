#pragma once

#define IDI_MAINICON 1
#define IDB_BACKGROUND 101
#define IDB_ARROW 102
