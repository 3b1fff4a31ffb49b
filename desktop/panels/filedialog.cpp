#include "desktop/panels/filedialog.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QStringList>

FirmwareFileDialog::FirmwareFileDialog(QObject *parent)
    : QObject(parent)
{ }

FirmwareFileDialog::~FirmwareFileDialog()
{
    // The dialog belongs to the parent widget; without this one it has nobody
    // to answer.
    delete m_dialog.data();
}

QString FirmwareFileDialog::nameFilter()
{
    return QStringLiteral("Text(*.TXT)");
}

QFileDialog *FirmwareFileDialog::dialog() const
{
    return m_dialog.data();
}

bool FirmwareFileDialog::isOpen() const
{
    return m_dialog || m_chooserPending;
}

void FirmwareFileDialog::setChooser(std::function<QString()> chooser)
{
    m_chooser = std::move(chooser);
}

void FirmwareFileDialog::open(QWidget *parent)
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    if (m_chooser) {
        if (m_chooserPending)
            return;
        m_chooserPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_chooserPending = false;
                if (m_chooser)
                    emit finished(m_chooser());
            },
            Qt::QueuedConnection);
        return;
    }

    auto *dialog
        = new QFileDialog(parent, tr("Load firmware file"), QCoreApplication::applicationDirPath(), nameFilter());
    // Qt's own dialog on every desktop, so that the filter below behaves the
    // same everywhere and tests can drive it.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    // Firmware files come named main.txt as well as MAIN.TXT. File names on
    // Linux are case sensitive, the filter must not be: Qt's default, stated
    // here so that it stays.
    dialog->setFilter(dialog->filter() & ~QDir::CaseSensitive);
    connect(dialog, &QDialog::finished, this, &FirmwareFileDialog::handleDialogFinished);
    m_dialog = dialog;
    dialog->open();
}

void FirmwareFileDialog::handleDialogFinished(int result)
{
    QFileDialog *dialog = m_dialog;
    if (!dialog)
        return;
    m_dialog = nullptr;
    QString fullName;
    if (result == QDialog::Accepted)
        fullName = dialog->selectedFiles().value(0);
    dialog->deleteLater();
    emit finished(fullName);
}
