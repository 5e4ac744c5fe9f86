// This build has no SQLite: the embedded register says so instead of opening.
#include "register/Engines.h"

namespace registry {

bool EmbeddedStoreAvailable() {
    return false;
}

std::unique_ptr<TStore> OpenSqliteStore(const std::string& path) {
    throw TStoreError("this Dravik is built without SQLite: cannot open the register " + path);
}

} // namespace registry
