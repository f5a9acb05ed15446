// The kit every extension module of the package is built on: native functions with Python
// function semantics, a class builder over `type(...)`, and small helpers for method bodies.
#pragma once

#include "context.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "klass.hpp"
#include "python.hpp"
