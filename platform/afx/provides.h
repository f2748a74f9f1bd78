// The check that a system's part of a shared afx/ header gives what that
// header declares: the header declares each function's type once, in a
// namespace `declared`, and checks the system's definition against it. A
// system that lacks the function fails at the check with "no member named
// <name>"; one that gives it another type fails with the message below,
// which names it and the header that declares it. No C++ standard library:
// the MSVC-ABI flavour has none.
#ifndef QBSOCKS_PLATFORM_AFX_PROVIDES_H
#define QBSOCKS_PLATFORM_AFX_PROVIDES_H

namespace qbafx::provides {

template <typename A, typename B>
struct Same {
  static constexpr bool value = false;
};
template <typename A>
struct Same<A, A> {
  static constexpr bool value = true;
};

}  // namespace qbafx::provides

// space::name must have the type space::declared::name.
#define QBAFX_PROVIDES(space, name)                                                             \
  static_assert(::qbafx::provides::Same<decltype(&space::name), space::declared::name*>::value, \
                #space "::" #name ": the system's definition differs from its declaration in " __FILE__)

// type::name must have the type declared::name (a pointer to member), in
// the namespace where the check stands.
#define QBAFX_PROVIDES_MEMBER(type, name)                                              \
  static_assert(::qbafx::provides::Same<decltype(&type::name), declared::name>::value, \
                #type "::" #name ": the system's definition differs from its declaration in " __FILE__)

#endif  // QBSOCKS_PLATFORM_AFX_PROVIDES_H
