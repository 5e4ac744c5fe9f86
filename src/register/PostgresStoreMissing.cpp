// This build has no libpq: the shared register says so instead of connecting.
#include "register/Engines.h"

namespace registry {

std::unique_ptr<TStore> OpenPostgresStore(const std::string& connection) {
    throw TStoreError("this Dravik is built without PostgreSQL: cannot use the register " +
                      MaskedLocation(connection));
}

} // namespace registry
