#pragma once

#include "core/firmware/filechoice.h"

#include <QWidget>

class Class1;
class FirmwareFileDialog;
class Indicator;
class MessagePresenter;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class SerialLink;
class UpdateSequence;

// The main panel: choosing the firmware file, starting the update, its two
// progress rows, and QUIT. The frame hands it the link holder and the update
// sequence; what the upload button sets off is wired up by UpdatePresenter.
class Main_Form : public QWidget
{
    Q_OBJECT

public:
    Main_Form(Class1 *holder, UpdateSequence *update, MessagePresenter *messages, QWidget *parent = nullptr);

    // The controls, under the names the instrument tools have always used.
    QPushButton *OPEN_BUTT;
    QLabel *Label1;
    QLineEdit *File_TEXT;
    QLabel *Label3;
    QLineEdit *Code_line;
    QLabel *Label2;
    QLineEdit *Path_TEXT;
    QGroupBox *Frame1;
    QPushButton *Doownload_BUTT;
    QProgressBar *Erase_Bar;
    Indicator *Show_Erase;
    QLabel *Erase_LAB;
    QProgressBar *Download_Bar;
    Indicator *Show_Load;
    QLabel *Load_LAB;
    QPushButton *QUIT_BUTT;
    FirmwareFileDialog *File_Tool;
    // The link, as the holder has it; the frame owns it.
    SerialLink *CWSerial;

    UpdateSequence *update() const { return m_update; }
    const FileChoice &fileChoice() const { return m_choice; }
    // Takes a file as if it had been picked in the dialog.
    void chooseFile(const QString &fullName) { handleFileChosen(fullName); }

signals:
    // QUIT: the program ends at once, telling the instrument nothing.
    void quitRequested();

private:
    void buildControls();
    void load();
    void handleOpenClicked();
    void handleFileChosen(const QString &fullName);

    MessagePresenter *m_messages;
    FileChoice m_choice;
    UpdateSequence *m_update;
};
