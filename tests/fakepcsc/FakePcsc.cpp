// The control interface: what a test does to the in-memory service.
#include "FakePcsc.h"
#include "FakeService.h"

#include <algorithm>
#include <stdexcept>

namespace fakepcsc {

using detail::Service;
using detail::TCard;
using detail::TReader;
using detail::TService;

namespace {

using TLock = std::lock_guard<std::mutex>;

// Windows' Smart Card service stops with the last reader; pcscd keeps running.
#ifdef _WIN32
constexpr bool kServiceStopsByDefault = true;
#else
constexpr bool kServiceStopsByDefault = false;
#endif

// An unknown instruction, the usual answer of a card to a command it lacks.
const TApduHandler kUnknownInstruction = [](const std::vector<std::uint8_t>&) {
    return std::vector<std::uint8_t>{0x6D, 0x00};
};

TCard& CardOf(TService& service, const std::string& reader) {
    TCard* card = service.FindCard(reader);
    if (card == nullptr) {
        throw std::invalid_argument("fakepcsc: no card in reader \"" + reader + "\"");
    }
    return *card;
}

} // namespace

void Reset() {
    TService& service = Service();
    TLock lock(service.Mutex);
    service.Up = true;
    service.StopsWithLastReader = kServiceStopsByDefault;
    service.Readers.clear();
    service.Contexts.clear();
    service.Cards.clear();
    service.Forced.clear();
    service.BeforeCalls.clear();
    service.AfterCalls.clear();
    service.Pnp = detail::kPlatformPnp;
    service.Calls.clear();
    service.Notify();
}

void SetServiceUp(bool up) {
    TService& service = Service();
    TLock lock(service.Mutex);
    service.SetUp(up);
    service.Notify();
}

void SetServiceStopsWithLastReader(bool stops) {
    TService& service = Service();
    TLock lock(service.Mutex);
    service.StopsWithLastReader = stops;
}

void SetPnpBehaviour(TPnpBehaviour behaviour) {
    TService& service = Service();
    TLock lock(service.Mutex);
    service.Pnp = behaviour;
    service.Notify();
}

namespace {

void SetHook(std::map<std::string, std::function<void()>> TService::*hooks,
             const std::string& function, std::function<void()> action) {
    TService& service = Service();
    TLock lock(service.Mutex);
    if (action) {
        (service.*hooks)[function] = std::move(action);
    } else {
        (service.*hooks).erase(function);
    }
}

} // namespace

void BeforeCall(const std::string& function, std::function<void()> action) {
    SetHook(&TService::BeforeCalls, function, std::move(action));
}

void AfterCall(const std::string& function, std::function<void()> action) {
    SetHook(&TService::AfterCalls, function, std::move(action));
}

void AddReader(const std::string& name) {
    TService& service = Service();
    TLock lock(service.Mutex);
    if (service.FindReader(name) != nullptr) {
        return;
    }
    TReader reader;
    reader.Id = service.NextId++;
    reader.Name = name;
    service.Readers.push_back(std::move(reader));
    // Windows' service starts again on its own once a reader is back.
    if (!service.Up && service.StopsWithLastReader) {
        service.SetUp(true);
    }
    service.Notify();
}

void RemoveReader(const std::string& name) {
    TService& service = Service();
    TLock lock(service.Mutex);
    const auto removed =
        std::erase_if(service.Readers, [&](const TReader& reader) { return reader.Name == name; });
    if (removed > 0 && service.Readers.empty() && service.StopsWithLastReader) {
        service.SetUp(false);
    }
    service.Notify();
}

void InsertCard(const std::string& reader, const std::vector<std::uint8_t>& atr, TProtocol protocol,
                TApduHandler handler) {
    if (atr.size() > sizeof(SCARD_READERSTATE::rgbAtr)) {
        throw std::invalid_argument("fakepcsc: an ATR longer than the reader state holds");
    }
    TService& service = Service();
    TLock lock(service.Mutex);
    TReader* target = service.FindReader(reader);
    if (target == nullptr) {
        throw std::invalid_argument("fakepcsc: no reader \"" + reader + "\"");
    }
    if (target->Card) {
        target->Card.reset();
        ++target->Events;
    }
    TCard card;
    card.Id = service.NextId++;
    card.Atr = atr;
    card.Protocol = protocol;
    card.Handler =
        std::make_shared<const TApduHandler>(handler ? std::move(handler) : kUnknownInstruction);
    target->Card = std::move(card);
    ++target->Events;
    service.Notify();
}

void RemoveCard(const std::string& reader) {
    TService& service = Service();
    TLock lock(service.Mutex);
    TReader* target = service.FindReader(reader);
    if (target == nullptr || !target->Card) {
        return;
    }
    target->Card.reset();
    ++target->Events;
    service.Notify();
}

void SetCardExclusive(const std::string& reader, bool exclusive) {
    TService& service = Service();
    TLock lock(service.Mutex);
    CardOf(service, reader).HeldElsewhere = exclusive;
    service.Notify();
}

void ResetCardPower(const std::string& reader) {
    TService& service = Service();
    TLock lock(service.Mutex);
    ++CardOf(service, reader).Resets;
    service.Notify();
}

void SetCardMute(const std::string& reader, bool mute) {
    TService& service = Service();
    TLock lock(service.Mutex);
    CardOf(service, reader).Mute = mute;
    service.Notify();
}

void ForceResult(const std::string& function, std::uint32_t result) {
    TService& service = Service();
    TLock lock(service.Mutex);
    if (result == 0) {
        service.Forced.erase(function);
    } else {
        service.Forced[function] = result;
    }
}

std::vector<TCall> Calls() {
    TService& service = Service();
    TLock lock(service.Mutex);
    return service.Calls;
}

std::vector<TCall> Calls(const std::string& function) {
    TService& service = Service();
    TLock lock(service.Mutex);
    std::vector<TCall> calls;
    std::copy_if(service.Calls.begin(), service.Calls.end(), std::back_inserter(calls),
                 [&](const TCall& call) { return call.Function == function; });
    return calls;
}

void ClearCalls() {
    TService& service = Service();
    TLock lock(service.Mutex);
    service.Calls.clear();
}

int OpenContexts() {
    TService& service = Service();
    TLock lock(service.Mutex);
    return static_cast<int>(service.Contexts.size());
}

int OpenCards() {
    TService& service = Service();
    TLock lock(service.Mutex);
    return static_cast<int>(service.Cards.size());
}

} // namespace fakepcsc
