// --watch: every driver card inserted into any reader is downloaded once per
// insertion, until a stop is asked.
#pragma once

#include "Options.h"
#include "Placement.h"
#include "Session.h"

#include <chrono>
#include <functional>

// pcscd reports a new card present while it is still powering it up; a
// connection at that moment fails, so a card just inserted settles first.
constexpr std::chrono::milliseconds kSettleTime{500};

// A download's report, with the session that made it (its closing message).
using TWatchReport = std::function<void(const TCommandLineSession&, const TDownloadReport&)>;

// Watches the readers (those named `options.Reader` only, when given) and
// downloads each card as `placement` says, the cards of all readers at once,
// handing each report to `report` on this thread as its download ends.
// Readers and the PC/SC service may come and go meanwhile. Returns when
// `session` was asked to stop, after the downloads under way unwound.
void WatchReaders(TCommandLineSession& session, TReportPump& pump, const TOptions& options,
                  const TPlacement& placement, const TWatchReport& report);
