// Everything a module's table and body use.
#pragma once

#include "frame/binding.h"
#include "frame/function.h"
#include "frame/lookup.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "frame/ref.h"
#include "frame/traceback.h"
