// The system's ODBC declarations. On Windows they rely on the base types of
// windows.h, which must come first there; its service declarations are left
// out, as their macros would take the service host's control-code names.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef NOSERVICE
#define NOSERVICE
#endif
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>
