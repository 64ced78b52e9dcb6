// The user-message routines and the library's message object, which the messages library builds.
#pragma once

#include "jexlink/messages/JexCommonRoutines.h"
#include "jexlink/messages/JexMsg.h"
