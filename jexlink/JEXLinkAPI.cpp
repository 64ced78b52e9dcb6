// The JEXLinkAPI shared library: the director's native entry into the
// support-network library. Everything else in it stays hidden.
#include <jni.h>
