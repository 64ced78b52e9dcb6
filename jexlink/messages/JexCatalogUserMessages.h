// The message catalog's routines as the core's user messages.
#pragma once

#include "jexlink/core/JexUserMessages.h"

// say, say(error) and say_nm(error) of the catalog, for the library's set-up
// to install in its seams (JexSeams::SetUserMessages).
const JexUserMessages& JexCatalogUserMessages();
