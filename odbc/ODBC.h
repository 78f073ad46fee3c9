// The ODBC layer: run-time binding of the driver manager (Binding.h), the
// connection (Connection.h), statements with their cursor (Statement.h) and
// the result columns they read (Columns.h).
#pragma once

#include "odbc/Binding.h"
#include "odbc/Columns.h"
#include "odbc/Connection.h"
#include "odbc/Statement.h"
