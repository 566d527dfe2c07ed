#pragma once

// The export macro lives with the bottom layer; this name stays for hosts that include it here.
#include "base/StrevoExport.h"
