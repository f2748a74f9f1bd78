// Arbitrary bytes as a hive file, fed to the .reg parser. Besides the
// sanitizers, it checks that what the writer makes of a parsed hive is a
// fixed point: parsing the written text and writing it again gives the same
// text, for the whole hive and for every key exported alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/reg_store.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& once, const std::string& twice) {
  fprintf(stderr, "%s\n--- first:\n%s\n--- second:\n%s\n", what, once.c_str(), twice.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const qbhive::Hive parsed = qbhive::ParseRegText(bytes);

  const std::string once = qbhive::SerializeRegText(parsed);
  const std::string twice = qbhive::SerializeRegText(qbhive::ParseRegText(once));
  if (once != twice) Fail("written text does not survive a parse", once, twice);

  for (const auto& entry : parsed.Keys()) {
    const std::string exported = qbhive::ExportKey(parsed, entry.first);
    const std::string again = qbhive::ExportKey(qbhive::ParseRegText(exported), entry.first);
    if (exported != again) Fail("an exported key does not survive a parse", exported, again);
  }
  return 0;
}
