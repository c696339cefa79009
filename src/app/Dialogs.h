#pragma once

#include <string>

namespace tavelcast {

// Everything Tavelcast says to or asks of the teacher goes through this seam, so tests can
// record it. The Qt implementation lives with the windows.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A simple message box with an OK button, titled with the application title.
    virtual void showMessage(const std::string& text) = 0;

    // An error box with a stop icon, titled with the application title.
    virtual void showError(const std::string& text) = 0;

    // A warning titled "Warning" with Yes (the default) and No (also Escape). True on Yes.
    virtual bool askYesNo(const std::string& question) = 0;

    // A single-line input dialog with OK and Cancel, holding at most 255 characters and
    // prefilled with value. True when confirmed, with value holding the answer.
    virtual bool inputQuery(const std::string& title, const std::string& prompt,
                            std::string& value) = 0;
};

} // namespace tavelcast
