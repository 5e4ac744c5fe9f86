#include "FakeService.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace fakepcsc::detail {

namespace {

// The bits a status-change wait compares; CHANGED, IGNORE, ATRMATCH and the
// event counter in the high word are not part of the state itself.
constexpr DWORD kStateBits = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY |
                             SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE |
                             SCARD_STATE_MUTE;

DWORD HighWord(DWORD state) {
    return (state >> 16) & 0xFFFF;
}

} // namespace

TService& Service() {
    static TService service;
    return service;
}

bool IsPnpName(const char* name) {
    return strcasecmp(name, "\\\\?PnP?\\Notification") == 0;
}

TReader* TService::FindReader(const std::string& name) {
    const auto found = std::find_if(Readers.begin(), Readers.end(),
                                    [&](const TReader& reader) { return reader.Name == name; });
    return found == Readers.end() ? nullptr : &*found;
}

TReader* TService::FindReader(std::uint64_t id) {
    const auto found = std::find_if(Readers.begin(), Readers.end(),
                                    [&](const TReader& reader) { return reader.Id == id; });
    return found == Readers.end() ? nullptr : &*found;
}

TCard* TService::FindCard(const std::string& reader) {
    TReader* found = FindReader(reader);
    return found != nullptr && found->Card ? &*found->Card : nullptr;
}

LONG TService::CheckContext(SCARDCONTEXT context) const {
    if (!Up) {
        return SCARD_E_NO_SERVICE;
    }
    const auto found = Contexts.find(context);
    if (found == Contexts.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    return found->second.Dead ? SCARD_E_NO_SERVICE : SCARD_S_SUCCESS;
}

bool TService::Reaches(const TConnection& connection) const {
    if (CheckContext(connection.Context) != SCARD_S_SUCCESS) {
        return false;
    }
    const auto reader = std::find_if(Readers.begin(), Readers.end(),
                                     [&](const TReader& r) { return r.Id == connection.ReaderId; });
    const std::uint64_t cardId = reader != Readers.end() && reader->Card ? reader->Card->Id : 0;
    return reader != Readers.end() && cardId == connection.CardId;
}

int TService::ConnectionsTo(const TReader& reader) const {
    return static_cast<int>(std::count_if(Cards.begin(), Cards.end(), [&](const auto& card) {
        return card.second.ReaderId == reader.Id && Reaches(card.second);
    }));
}

bool TService::HeldExclusively(const TReader& reader) const {
    return std::any_of(Cards.begin(), Cards.end(), [&](const auto& card) {
        return card.second.ReaderId == reader.Id &&
               card.second.ShareMode == SCARD_SHARE_EXCLUSIVE && Reaches(card.second);
    });
}

DWORD TService::EventState(const TReader& reader) const {
    DWORD state = static_cast<DWORD>(reader.Events) << 16;
    if (!reader.Card) {
        return state | SCARD_STATE_EMPTY;
    }
    state |= SCARD_STATE_PRESENT;
    if (reader.Card->Mute) {
        state |= SCARD_STATE_MUTE;
    }
    if (reader.Card->HeldElsewhere || HeldExclusively(reader)) {
        state |= SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE;
    } else if (ConnectionsTo(reader) > 0) {
        state |= SCARD_STATE_INUSE;
    }
    return state;
}

bool TService::Report(SCARD_READERSTATE& record, std::size_t readersAtStart) const {
    const DWORD current = record.dwCurrentState;
    const auto reader = std::find_if(Readers.begin(), Readers.end(),
                                     [&](const TReader& r) { return r.Name == record.szReader; });
    DWORD event = 0;
    bool changed = false;
    record.cbAtr = 0;
    if (reader != Readers.end()) {
        event = EventState(*reader);
        // As pcsc-lite: a card that came and went between two waits shows in the
        // counter only, which is compared when the caller passed one back.
        changed = (event & kStateBits) != (current & kStateBits) ||
                  (HighWord(current) != 0 && HighWord(current) != reader->Events);
        if (reader->Card && !reader->Card->Mute) {
            record.cbAtr = reader->Card->Atr.size();
            std::memcpy(record.rgbAtr, reader->Card->Atr.data(), reader->Card->Atr.size());
        }
    } else if (IsPnpName(record.szReader) && Pnp == TPnpBehaviour::Windows) {
        // The number of readers rides in the high word; an unaware caller
        // learns it at once.
        const DWORD count = Readers.size();
        event = count << 16;
        changed = current == SCARD_STATE_UNAWARE || HighWord(current) != count;
    } else if (IsPnpName(record.szReader)) {
        // pcsc-lite 1.9.9 compares with its own count from the wait's start
        // only; what the caller passed in does not matter.
        changed = Readers.size() != readersAtStart;
    } else {
        // The reader went away during the wait.
        event = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE;
        changed = (current & SCARD_STATE_UNKNOWN) == 0;
    }
    record.dwEventState = changed ? event | SCARD_STATE_CHANGED : event;
    return changed;
}

void TService::SetUp(bool up) {
    if (!up) {
        for (auto& context : Contexts) {
            context.second.Dead = true;
        }
    }
    Up = up;
}

void TService::DropContext(SCARDCONTEXT context) {
    std::erase_if(Cards, [&](const auto& card) { return card.second.Context == context; });
    Contexts.erase(context);
}

} // namespace fakepcsc::detail
