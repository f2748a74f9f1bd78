// What code compiled with C++ exceptions (/EHsc) calls when an exception
// may not pass a frame (a noexcept function, a destructor): newer run-times
// have it in VCRUNTIME; MSVCRT.DLL has terminate itself. Linked only into
// what calls it.
void __cdecl terminate();

extern "C" void __cdecl __std_terminate() { terminate(); }
