// The library's notes of a connect's facts: they keep nothing, as its
// MyMessageBox shows nothing. The C interface links its own.
#include "ConnectFacts.h"

namespace qbfacts {

void NoteStep(Step /*step*/) {}
void NoteCause(Cause /*cause*/, int /*nCode*/, LONG /*lError*/) {}

}  // namespace qbfacts
