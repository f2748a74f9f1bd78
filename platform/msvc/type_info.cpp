// The virtual table of type_info. With RTTI on, the compiler describes every
// polymorphic class with a type descriptor, a type_info object in static data
// whose first word points at this table. A C run-time's import library
// brings the table as static data of its own: MSVCRT.DLL exports the class's
// members, but static data cannot point into another module, so it is
// defined here, for every module and program of this flavour.
//
// Its one slot is the deleting destructor. Type descriptors are static data
// and never deleted; should anything call the slot, it frees nothing.

namespace {

#ifdef _M_IX86
// thiscall (this in ECX, the flags on the stack, popped by the callee) is
// fastcall with the second register argument unused. x64 has one calling
// convention for members and functions alike.
void* __fastcall DeleteNothing(void* pThis, void* /*unused EDX*/, unsigned int /*nFlags*/) { return pThis; }
#else
void* DeleteNothing(void* pThis, unsigned int /*nFlags*/) { return pThis; }
#endif

}  // namespace

extern "C" const void* const g_typeInfoVftable[] __asm__("??_7type_info@@6B@") = {
    reinterpret_cast<const void*>(&DeleteNothing)};
