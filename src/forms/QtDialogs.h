#pragma once

#include "app/Dialogs.h"

#include <QString>

class QWidget;

namespace tavelcast {

// The real message boxes and input dialog.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(std::string applicationTitle);

    void showMessage(const std::string& text) override;
    void showError(const std::string& text) override;
    bool askYesNo(const std::string& question) override;
    bool inputQuery(const std::string& title, const std::string& prompt,
                    std::string& value) override;

private:
    QString m_title;
};

} // namespace tavelcast
