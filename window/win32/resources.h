#pragma once

// Resource ids shared by the program's resource script and the window. Kept free of C++ so that
// the resource compiler can read it.
#define THERMO_ICON_ID 1
