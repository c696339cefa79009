#include "forms/Form_DisallowedApplications.h"

#include "forms/UiGuard.h"
#include "net/ProtocolWords.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>

namespace tavelcast {

namespace {

constexpr int PanelHeight = 41;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;
constexpr int ContentWidth = 547;

const char* const InitialEditText = "< New Process here i.e. iexplore.exe >";

QFrame* makePanel(QWidget* parent, const char* name, int top, int height) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    panel->setGeometry(0, top, TF_DisallowedApplications::ClientWidth, height);
    return panel;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* text, int left, int top) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* makeButton(QWidget* parent, const char* name, const char* caption, int left) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(name);
    button->setGeometry(left, 6, ButtonWidth, ButtonHeight);
    // No button is the default: Return in the edit box presses nothing.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

std::string toStd(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

const std::string& TF_DisallowedApplications::invalidNameMessage() {
    static const std::string message = "Invalid Process/Filename\r"
                                       "Process name can not contain spaces\r"
                                       "or .exe extension not found";
    return message;
}

std::string TF_DisallowedApplications::upperCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

TF_DisallowedApplications::TF_DisallowedApplications(Dialogs& dialogs, DisallowedStore& store,
                                                     QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_store(store) {
    buildWindow();
    FormCreate();
}

void TF_DisallowedApplications::buildWindow() {
    setObjectName("DisallowedApplications");
    setWindowTitle(QStringLiteral("Diallowed Applications"));
    // A fixed single border with a caption and no title-bar buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setFixedSize(ClientWidth, ClientHeight);
    setSizeGripEnabled(false);

    // Tahoma when it is installed. Otherwise a sans of about its width, so the long label
    // lines still fit the window; the last resort is whatever sans Qt matches.
    QFont font(QStringLiteral("Tahoma"));
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                      QStringLiteral("DejaVu Sans Condensed")});
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    Panel1 = makePanel(this, "Panel1", 0, PanelHeight);
    Panel2 = makePanel(this, "Panel2", PanelHeight, ClientHeight - 2 * PanelHeight);
    Panel3 = makePanel(this, "Panel3", ClientHeight - PanelHeight, PanelHeight);

    Label1 = makeLabel(Panel1, "Label1", "Diallowed Applications", 8, 14);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->adjustSize();

    Label2 = makeLabel(Panel2, "Label2",
                       "You can disallow your client terminals to run applications. You can do "
                       "that by running the process name and",
                       8, 8);
    Label3 = makeLabel(Panel2, "Label3",
                       "pressing the add button. While the Tavelseats and Tavelcast are running "
                       "clients wont be able to start these",
                       8, 20);
    Label4 = makeLabel(Panel2, "Label4", "processes.", 8, 32);

    ListBox1 = new QListWidget(Panel2);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setGeometry(8, 50, ContentWidth, 311);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setSortingEnabled(false);

    Label5 = makeLabel(Panel2, "Label5", "Process name", 8, 368);

    Edit1 = new QLineEdit(Panel2);
    Edit1->setObjectName("Edit1");
    Edit1->setGeometry(8, 384, ContentWidth, 21);
    Edit1->setText(QString::fromUtf8(InitialEditText));

    Button2 = makeButton(Panel3, "Button2", "&New", 8);
    Button3 = makeButton(Panel3, "Button3", "&Delete", 89);
    Button1 = makeButton(Panel3, "Button1", "&Close", 482);

    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TF_DisallowedApplications::FormCreate() {
    for (const auto& name : m_store.LoadDisallowedList()) {
        ListBox1->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
}

std::vector<std::string> TF_DisallowedApplications::entries() const {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(ListBox1->count()));
    for (int row = 0; row < ListBox1->count(); ++row) {
        names.push_back(toStd(ListBox1->item(row)->text()));
    }
    return names;
}

void TF_DisallowedApplications::Button2Click() {
    runGuarded(m_dialogs, [this] {
        const QString typed = Edit1->text();
        const std::string text = toStd(typed);
        const std::string upper = upperCaseAscii(text);
        bool add = true;
        for (const auto& entry : entries()) {
            if (upperCaseAscii(entry) == upper) {
                m_dialogs.showMessage("Process is already in the list");
                add = false;
                break;
            }
        }
        // A control character (a pasted line break) is refused like a space: it is no part
        // of a file name and would break the stored file and the pupils' list line.
        if (text.find(' ') != std::string::npos || DisallowedStore::hasControlCharacter(text) ||
            upper.find(upperCaseAscii(".exe")) == std::string::npos) {
            m_dialogs.showMessage(invalidNameMessage());
            add = false;
        }
        if (add) {
            ListBox1->addItem(typed);
        }
    });
}

void TF_DisallowedApplications::Button3Click() {
    runGuarded(m_dialogs, [this] {
        if (!m_dialogs.askYesNo("Would you like to delete process ")) {
            return;
        }
        const QModelIndexList selected = ListBox1->selectionModel()->selectedRows();
        if (!selected.isEmpty()) {
            delete ListBox1->takeItem(selected.front().row());
        }
    });
}

void TF_DisallowedApplications::Button1Click() {
    const bool saved = runGuarded(m_dialogs, [this] { m_store.SaveDisallowedList(entries()); });
    if (!saved) {
        return; // the error has been shown; the window stays open
    }
    m_closing = true;
    accept();
}

void TF_DisallowedApplications::reject() {
    if (m_closing) {
        QDialog::reject();
    }
}

void TF_DisallowedApplications::closeEvent(QCloseEvent* event) {
    if (m_closing) {
        QDialog::closeEvent(event);
    } else {
        event->ignore();
    }
}

void TF_DisallowedApplications::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->geometry().center());
        move(frame.topLeft());
    }
}

void DonotAllow1Click(QWidget* parent, Dialogs& dialogs, DisallowedStore& store,
                      CommandDispatch* dispatch) {
    {
        TF_DisallowedApplications form(dialogs, store, parent);
        form.exec();
    }
    if (dispatch == nullptr) {
        return;
    }
    // The word and the list line go to every pupil as one unit; pupils the list did not
    // reach are named in one error box by the dispatch.
    dispatch->SendLinesToAllClients(
        {std::string(words::GetDisallowedApps), store.BuildDisallowedList()});
}

} // namespace tavelcast
