// Stand-in for <windows.h> off Windows: only the names the product code uses.
#pragma once

#include "win_types.h"
#include "win_kernel.h"
#include "win_crt.h"
#include "win_nls.h"
#include "win_profile.h"
#include "win_user.h"
#include "win_ui.h"
