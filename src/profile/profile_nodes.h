// The whole profile vocabulary: every profile node class, RegisterProfileNodes and FindController.
#pragma once

#include "profile/commands.h"
#include "profile/controls.h"
#include "profile/programming.h"
#include "profile/shifts.h"
#include "profile/structure.h"
