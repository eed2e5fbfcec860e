// The engine's preconditions (the window sizes it is built for). A release
// build checks none of them: a check would cost time on every call and code on
// a microcontroller, and the callers meet them. A debug build (the sanitizer
// build among them) stops at the first broken one with a trap instruction:
// no message and no stdio, so the engine needs nothing more of its platform.
#ifndef AGC_PRECONDITION_H
#define AGC_PRECONDITION_H

#ifdef NDEBUG
#define AGC_EXPECT(condition) static_cast<void>(0)
#else
#define AGC_EXPECT(condition) ((condition) ? static_cast<void>(0) : __builtin_trap())
#endif

#endif
