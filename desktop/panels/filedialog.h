#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QFileDialog;
class QWidget;

// The open-file dialog behind "Load firmware file": firmware text files only,
// starting in the program's own directory. It never blocks: open() shows the
// dialog and returns, and the answer arrives later through finished().
class FirmwareFileDialog : public QObject
{
    Q_OBJECT

public:
    explicit FirmwareFileDialog(QObject *parent = nullptr);
    ~FirmwareFileDialog() override;

    // The one filter the dialog offers.
    static QString nameFilter();

    // Shows the dialog, window-modal over 'parent'. While a dialog is open,
    // another call only raises it.
    void open(QWidget *parent);
    bool isOpen() const;

    // The dialog on the screen, or null when none is open, so that a test can
    // pick a file and accept it without a person at the screen.
    QFileDialog *dialog() const;

    // When set, open() shows nothing and asks this instead; the answer still
    // arrives through finished(), from the event loop, as the dialog's would.
    void setChooser(std::function<QString()> chooser);

signals:
    // The chosen file's full name, or an empty string when cancelled.
    void finished(const QString &fullName);

private:
    void handleDialogFinished(int result);

    QPointer<QFileDialog> m_dialog;
    std::function<QString()> m_chooser;
    bool m_chooserPending = false;
};
