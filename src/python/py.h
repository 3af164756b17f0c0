// The one include of Python.h; every file of the binding layer includes this first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
