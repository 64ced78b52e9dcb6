// The date-string parser: free-form date and time texts to seconds since 1970.
#pragma once

#include <ctime>

// Parses a date and time text: absolute dates ("5 Jan 1997 10:00 est",
// "1/5/1997", "Sun, 5 Jan 1997 10:00:00 -0500"), times of day, named and
// numeric zones, keywords ("today", "tomorrow", "next monday", "now + 2h")
// and offsets ("+1d 2h"), without regard to case. Relative forms count from
// *base, or from now when base is null; the empty text is the base itself.
// Returns 1 and stores the time, or returns 0 and stores -1.
//
// The parser keeps no state between calls and may run on several threads at
// once; JexStrToTime (JexTime.h) is the same under the library's global lock.
int JexStrToTimeParse(const char* text, time_t* result, const time_t* base = nullptr);
