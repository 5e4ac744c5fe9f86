// The engines behind OpenStore, each in its own file; an engine this build
// goes without (SQLite or libpq not found) has a file that says so instead.
#pragma once

#include "register/Register.h"

namespace registry {

// The SQLite file at `path`, created when missing (PrepareOwnerOnlyFile first).
std::unique_ptr<TStore> OpenSqliteStore(const std::string& path);
// The PostgreSQL server `connection` names, as libpq takes it.
std::unique_ptr<TStore> OpenPostgresStore(const std::string& connection);

} // namespace registry
