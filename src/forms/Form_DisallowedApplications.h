#pragma once

#include "app/Dialogs.h"
#include "disallow/DisallowedStore.h"
#include "net/CommandDispatch.h"

#include <QDialog>
#include <string>
#include <vector>

class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tavelcast {

// The modal editor of the disallowed process names. It opens with the stored list; "&New"
// appends the edit box's text after checking it, "&Delete" removes the highlighted entry
// after asking, and "&Close" saves the list and closes. "&Close" is the only way out:
// Escape and the window manager's close do nothing, and a failed save keeps it open.
class TF_DisallowedApplications : public QDialog {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 564;
    static constexpr int ClientHeight = 495;

    TF_DisallowedApplications(Dialogs& dialogs, DisallowedStore& store, QWidget* parent = nullptr);

    // The names in the list, in list order.
    std::vector<std::string> entries() const;

    // The message of "&New" for a name that is not acceptable.
    static const std::string& invalidNameMessage();

    // Upper case as the checks of "&New" use it: only a to z change.
    static std::string upperCaseAscii(std::string text);

    QFrame* Panel1 = nullptr; // top
    QFrame* Panel2 = nullptr; // middle
    QFrame* Panel3 = nullptr; // bottom
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr; // "&Close"
    QPushButton* Button2 = nullptr; // "&New"
    QPushButton* Button3 = nullptr; // "&Delete"

    void Button1Click();
    void Button2Click();
    void Button3Click();

public slots:
    // Escape lands here; only "&Close" ends the dialog.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void buildWindow();

    Dialogs& m_dialogs;
    DisallowedStore& m_store;
    bool m_closing = false;
};

// The tray entry "Disallowed Applications": shows the editor modally, destroys it once it
// has closed, then sends every connected pupil "GetDisallowedApps" and the list line,
// whatever the state of "Enable Disallow Rules". Pupils the list did not reach are named
// in one error box. With dispatch null (the server never started) nothing is sent.
void DonotAllow1Click(QWidget* parent, Dialogs& dialogs, DisallowedStore& store,
                      CommandDispatch* dispatch);

} // namespace tavelcast
