#pragma once

#include "app/Dialogs.h"

#include <exception>
#include <utility>

namespace tavelcast {

// Runs a UI handler; an exception that leaves it is shown to the teacher in an error box
// and the program carries on. Returns false when the handler failed.
template <typename Handler> bool runGuarded(Dialogs& dialogs, Handler&& handler) {
    try {
        std::forward<Handler>(handler)();
        return true;
    } catch (const std::exception& error) {
        dialogs.showError(error.what());
    } catch (...) {
        dialogs.showError("Unexpected error");
    }
    return false;
}

} // namespace tavelcast
