// The standard ODBC declarations: handle types, return codes, attribute and
// information constants, and the function signatures the entry table copies.
// Nothing declared here is linked; every call goes through the entry table.
#pragma once

#include "platform/SqlHeaders.h"
