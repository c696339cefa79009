#include "forms/QtDialogs.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace tavelcast {

QtDialogs::QtDialogs(std::string applicationTitle)
    : m_title(QString::fromStdString(applicationTitle)) {}

void QtDialogs::showMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, m_title, QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void QtDialogs::showError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, m_title, QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
}

bool QtDialogs::askYesNo(const std::string& question) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"),
                    QString::fromStdString(question), QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool QtDialogs::inputQuery(const std::string& title, const std::string& prompt,
                           std::string& value) {
    QInputDialog dialog;
    dialog.setWindowTitle(QString::fromStdString(title));
    dialog.setLabelText(QString::fromStdString(prompt));
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextValue(QString::fromStdString(value).left(255));
    if (auto* edit = dialog.findChild<QLineEdit*>()) {
        edit->setMaxLength(255);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    value = dialog.textValue().left(255).toStdString();
    return true;
}

} // namespace tavelcast
