#pragma once

// The hooks live with the bottom layer; this name stays for hosts that include it here.
#include "base/BaseHooks.h"
