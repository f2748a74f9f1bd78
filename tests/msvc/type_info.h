// What a host's <typeinfo> declares of type_info, for the host programs of
// this flavour, which have no C++ standard library: typeid gives one, and
// its members are MSVCRT.DLL's (MSVC's own header declares the class in the
// global namespace too).
#ifndef QBSOCKS_TESTS_MSVC_TYPE_INFO_H
#define QBSOCKS_TESTS_MSVC_TYPE_INFO_H

class type_info {
 public:
  virtual ~type_info();
  int operator==(const type_info& rhs) const;
  const char* name() const;

 private:
  type_info(const type_info&);
  type_info& operator=(const type_info&);

  void* m_pData;     // the undecorated name, once name() has made it
  char m_szName[1];  // the decorated name
};

namespace std {
using ::type_info;
}

#endif  // QBSOCKS_TESTS_MSVC_TYPE_INFO_H
