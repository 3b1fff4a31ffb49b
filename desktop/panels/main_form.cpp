#include "desktop/panels/main_form.h"

#include "desktop/panels/filedialog.h"
#include "desktop/panels/class1.h"
#include "core/common/printablebytes.h"
#include "desktop/widgets/indicator.h"
#include "desktop/widgets/messagepresenter.h"
#include "desktop/widgets/twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {

template<typename W>
W *makeControl(QWidget *parent, const char *name, double left, double top, double width, double height)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    Twips::place(w, left, top, width, height);
    return w;
}

QLineEdit *makeTextBox(QWidget *parent, const char *name, double l, double t, double w, double h, double pt)
{
    auto *box = makeControl<QLineEdit>(parent, name, l, t, w, h);
    box->setFont(arialFont(pt, true));
    // Display only: the program writes these boxes, the user reads them.
    box->setReadOnly(true);
    return box;
}

QProgressBar *makeBar(QWidget *parent, const char *name, double l, double t, double w, double h)
{
    auto *bar = makeControl<QProgressBar>(parent, name, l, t, w, h);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

} // namespace

Main_Form::Main_Form(Class1 *holder, UpdateSequence *update, MessagePresenter *messages, QWidget *parent)
    : QWidget(parent)
    , CWSerial(holder->CWSerial)
    , m_messages(messages)
    , m_update(update)
{
    setObjectName(QStringLiteral("Main_Form"));
    setWindowTitle(QStringLiteral("Brana_Update Program"));
    setFont(arialFont(12, false));
    resize(Twips::toPixelsX(this, 5310), Twips::toPixelsY(this, 4845));
    File_Tool = new FirmwareFileDialog(this);
    File_Tool->setObjectName(QStringLiteral("File_Tool"));
    buildControls();
    load();
}

void Main_Form::buildControls()
{
    OPEN_BUTT = makeControl<QPushButton>(this, "OPEN_BUTT", 120, 120, 2415, 615);
    OPEN_BUTT->setText(QStringLiteral("Load firmware file"));
    OPEN_BUTT->setFont(arialFont(11.25, true));

    Label1 = makeControl<QLabel>(this, "Label1", 120, 840, 1215, 255);
    Label1->setText(QStringLiteral("File Name :"));
    Label1->setFont(arialFont(9.75, false));
    File_TEXT = makeTextBox(this, "File_TEXT", 120, 1080, 1935, 375, 9.75);

    Label3 = makeControl<QLabel>(this, "Label3", 3360, 600, 1335, 375);
    Label3->setText(QStringLiteral("Code Line"));
    Label3->setFont(arialFont(11.25, true));
    Code_line = makeTextBox(this, "Code_line", 3480, 1080, 1215, 330, 11.25);

    Label2 = makeControl<QLabel>(this, "Label2", 120, 1440, 1215, 255);
    Label2->setText(QStringLiteral("File Path :"));
    Label2->setFont(arialFont(9.75, false));
    Path_TEXT = makeTextBox(this, "Path_TEXT", 120, 1680, 5055, 375, 9.75);

    Frame1 = makeControl<QGroupBox>(this, "Frame1", 120, 2160, 2775, 2415);
    Doownload_BUTT = makeControl<QPushButton>(Frame1, "Doownload_BUTT", 120, 240, 2175, 615);
    Doownload_BUTT->setText(QStringLiteral("Upload firmware"));
    Doownload_BUTT->setFont(arialFont(11.25, true));
    Erase_Bar = makeBar(Frame1, "Erase_Bar", 120, 960, 2535, 255);
    Show_Erase = makeControl<Indicator>(Frame1, "Show_Erase", 120, 1245, 255, 255);
    Erase_LAB = makeControl<QLabel>(Frame1, "Erase_LAB", 480, 1245, 2175, 375);
    Erase_LAB->setText(QStringLiteral("Erase Processing"));
    Erase_LAB->setFont(arialFont(12, true));
    Download_Bar = makeBar(Frame1, "Download_Bar", 120, 1650, 2535, 255);
    Show_Load = makeControl<Indicator>(Frame1, "Show_Load", 120, 1920, 255, 255);
    Load_LAB = makeControl<QLabel>(Frame1, "Load_LAB", 480, 1920, 2175, 375);
    Load_LAB->setText(QStringLiteral("Write Processing"));
    Load_LAB->setFont(arialFont(12, true));

    QUIT_BUTT = makeControl<QPushButton>(this, "QUIT_BUTT", 3000, 4080, 2175, 495);
    QUIT_BUTT->setText(QStringLiteral("QUIT"));
    QUIT_BUTT->setFont(arialFont(11.25, true));

    // Keyboard order: QUIT first, then the file row, then the upload controls.
    QWidget::setTabOrder(QUIT_BUTT, OPEN_BUTT);
    QWidget::setTabOrder(OPEN_BUTT, File_TEXT);
    QWidget::setTabOrder(File_TEXT, Path_TEXT);
    QWidget::setTabOrder(Path_TEXT, Code_line);
    QWidget::setTabOrder(Code_line, Doownload_BUTT);

    connect(OPEN_BUTT, &QPushButton::clicked, this, &Main_Form::handleOpenClicked);
    connect(File_Tool, &FirmwareFileDialog::finished, this, &Main_Form::handleFileChosen);
    connect(QUIT_BUTT, &QPushButton::clicked, this, &Main_Form::quitRequested);
}

void Main_Form::load()
{
    // No update can start before a file has been chosen.
    Doownload_BUTT->setEnabled(false);
    Label3->setVisible(false);
    Code_line->setVisible(false);
}

void Main_Form::handleOpenClicked()
{
    File_Tool->open(this);
}

void Main_Form::handleFileChosen(const QString &fullName)
{
    switch (m_choice.take(fullName)) {
    case FileChoice::Outcome::NoFile:
        m_messages->show(this,
                         {QStringLiteral("No open file"), QStringLiteral("Open file error"), Message::Icon::Critical},
                         {tr("no firmware file has been chosen: pick one in the dialog and press Open")});
        return;
    case FileChoice::Outcome::Unreadable:
        // Silent, as it always was: name and directory shown, count at 0,
        // the upload button as it was (the update reads the file again and
        // refuses it before anything is sent).
        File_TEXT->setText(printableText(m_choice.namePart()));
        Path_TEXT->setText(printableText(m_choice.directory()));
        Code_line->setText(QStringLiteral("0"));
        return;
    case FileChoice::Outcome::Chosen:
        // A name is shown, never obeyed: its control characters come escaped.
        File_TEXT->setText(printableText(m_choice.namePart()));
        Path_TEXT->setText(printableText(m_choice.directory()));
        Code_line->setText(QString::number(m_choice.lineCount()));
        Doownload_BUTT->setEnabled(true);
        return;
    }
}
