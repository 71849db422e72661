// The recording double of the certificate store.
#include "RecordingStore.h"

#include <map>

#include "../../card/CardSession.h"
#include "../../store/Store.h"

namespace recordingstore {
namespace {

struct State {
    std::vector<StoreCall> calls;
    std::function<void(CardSession *)> hook;
    std::map<std::string, unsigned> added;
};

State &state()
{
    static State s;
    return s;
}

} // namespace

void reset() { state() = State(); }

const std::vector<StoreCall> &calls() { return state().calls; }

std::vector<StoreCall> registrations()
{
    std::vector<StoreCall> found;
    for (const StoreCall &call : state().calls)
        if (call.kind == StoreCall::Register)
            found.push_back(call);
    return found;
}

std::vector<std::string> removedSerials()
{
    std::vector<std::string> found;
    for (const StoreCall &call : state().calls)
        if (call.kind == StoreCall::Remove)
            found.push_back(call.serial);
    return found;
}

void onRegister(const std::function<void(CardSession *)> &hook) { state().hook = hook; }
void cardAdds(const std::string &serial, unsigned certificates) { state().added[serial] = certificates; }

} // namespace recordingstore

using namespace recordingstore;

unsigned registerCardCertificates(CardSession *session)
{
    const std::string serial = session ? session->serial : "";
    state().calls.push_back(
        StoreCall{StoreCall::Register, session ? session->cardHandle : 0, session ? session->family : Atr21, serial});
    if (state().hook)
        state().hook(session);
    return state().added.count(serial) ? state().added[serial] : 0;
}

void removeCardCertificates(const char *serial)
{
    state().calls.push_back(StoreCall{StoreCall::Remove, 0, 0, serial ? serial : "(null)"});
}

void removeStrandedCertificates(bool)
{
    state().calls.push_back(StoreCall{StoreCall::RemoveStranded, 0, 0, std::string()});
}
