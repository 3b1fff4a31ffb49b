#include "desktop/station/stationwindow.h"

#include "core/update/laneoptions.h"
#include "desktop/panels/filedialog.h"
#include "desktop/station/lanewidget.h"
#include "desktop/station/stationpresenter.h"
#include "desktop/widgets/messagepresenter.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

// A tile narrower than this cuts its texts too short to read.
constexpr int kLaneMinWidth = 300;
// What an operator may paste: a hash, or a line of sha256sum with its file name.
constexpr int kExpectedShaMaxLength = 300;

QLabel *counterLabel(QWidget *parent, const QString &name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.5);
    label->setFont(font);
    return label;
}

} // namespace

StationWindow::StationWindow(MessagePresenter *messages, QSettings *settings, const Lane::Settings &laneSettings,
                             QWidget *parent)
    : QMainWindow(parent)
    , m_ownMessages(messages ? nullptr : std::make_unique<MessagePresenter>())
    , m_messages(messages ? messages : m_ownMessages.get())
{
    setObjectName(u"StationWindow"_s);
    setWindowTitle(u"Wexel Station"_s);
    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    auto *top = new QHBoxLayout;
    top->addWidget(buildImageBox(), 1);
    top->addWidget(buildCounters());
    column->addLayout(top);
    column->addWidget(buildControls());
    m_scroll = new QScrollArea(central);
    m_scroll->setWidgetResizable(true);
    m_laneArea = new QWidget(m_scroll);
    m_laneGrid = new QGridLayout(m_laneArea);
    m_laneGrid->setAlignment(Qt::AlignTop);
    m_scroll->setWidget(m_laneArea);
    // The columns follow the room the lanes have, whatever changed it.
    m_scroll->viewport()->installEventFilter(this);
    column->addWidget(m_scroll, 1);
    setCentralWidget(central);
    // Fits the 1024 x 768 screens of the bench PCs, frame included.
    resize(1000, 700);

    fileDialog = new FirmwareFileDialog(this);
    m_store = std::make_unique<LaneStore>(settings);
    m_presenter = new StationPresenter(this, m_messages, m_store.get(), laneSettings, this);

    // The keys of a station: the operator's hands are on units, not on a mouse.
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(key, this), &QShortcut::activated, m_presenter, &StationPresenter::startAll);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this), &QShortcut::activated, m_presenter,
            &StationPresenter::retryFailed);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, m_presenter,
            &StationPresenter::stopAll);
    connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, chooseButton, &QPushButton::click);
}

StationWindow::~StationWindow()
{
    // The lanes stop before the tiles they draw on go.
    delete m_presenter;
}

QWidget *StationWindow::buildImageBox()
{
    auto *box = new QGroupBox(tr("Firmware image, for every lane"), this);
    auto *form = new QFormLayout(box);
    chooseButton = new QPushButton(tr("Choose image... (Ctrl+O)"), box);
    imageName = new QLabel(tr("(none chosen)"), box);
    imageName->setTextFormat(Qt::PlainText);
    QFont bold = imageName->font();
    bold.setBold(true);
    imageName->setFont(bold);
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(chooseButton);
    nameRow->addWidget(imageName, 1);
    form->addRow(nameRow);
    imageSummary = new QLabel(box);
    imageSummary->setTextFormat(Qt::PlainText);
    imageSummary->setWordWrap(true);
    form->addRow(tr("Holds:"), imageSummary);
    // Selectable, in a fixed font: compared digit by digit with the release note.
    imageSha = new QLineEdit(box);
    imageSha->setReadOnly(true);
    // Read and copied, never typed into: it does not take the focus from the keys.
    imageSha->setFocusPolicy(Qt::ClickFocus);
    imageSha->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    form->addRow(tr("SHA-256:"), imageSha);
    expectedSha = new QLineEdit(box);
    expectedSha->setMaxLength(kExpectedShaMaxLength);
    expectedSha->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    expectedSha->setPlaceholderText(tr("the released image's SHA-256: any other image is refused"));
    expectedState = new QLabel(box);
    expectedState->setTextFormat(Qt::PlainText);
    auto *expectedRow = new QVBoxLayout;
    expectedRow->addWidget(expectedSha);
    expectedRow->addWidget(expectedState);
    form->addRow(tr("Released SHA-256:"), expectedRow);
    return box;
}

QWidget *StationWindow::buildCounters()
{
    auto *box = new QGroupBox(tr("Since the window opened"), this);
    auto *counters = new QVBoxLayout(box);
    passedLabel = counterLabel(box, u"passedCounter"_s);
    passedLabel->setStyleSheet(u"color: #1b7f2a;"_s);
    failedLabel = counterLabel(box, u"failedCounter"_s);
    failedLabel->setStyleSheet(u"color: #c0221b;"_s);
    totalLabel = counterLabel(box, u"totalCounter"_s);
    counters->addWidget(passedLabel);
    counters->addWidget(failedLabel);
    counters->addWidget(totalLabel);
    counters->addStretch(1);
    return box;
}

QWidget *StationWindow::buildControls()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    startButton = new QPushButton(tr("Start (Return)"), bar);
    retryButton = new QPushButton(tr("Retry failed (Ctrl+R)"), bar);
    stopButton = new QPushButton(tr("Stop (Esc)"), bar);
    watchBox = new QCheckBox(tr("Watch: update units as they arrive"), bar);
    retriesBox = new QSpinBox(bar);
    retriesBox->setRange(0, LaneOptions::kMaxRetries);
    retriesBox->setPrefix(tr("Retries: "));
    addLaneButton = new QPushButton(tr("Add lane..."), bar);
    for (QWidget *w : std::initializer_list<QWidget *>{startButton, retryButton, stopButton})
        row->addWidget(w);
    row->addSpacing(16);
    row->addWidget(watchBox);
    row->addWidget(retriesBox);
    row->addStretch(1);
    row->addWidget(addLaneButton);
    return bar;
}

LaneWidget *StationWindow::addLaneWidget()
{
    auto *widget = new LaneWidget(m_laneArea);
    m_laneWidgets.append(widget);
    placeLanes();
    return widget;
}

void StationWindow::removeLaneWidget(LaneWidget *widget)
{
    m_laneWidgets.removeOne(widget);
    m_laneGrid->removeWidget(widget);
    widget->deleteLater();
    m_placed = -1;
    placeLanes();
}

void StationWindow::placeLanes()
{
    // As many columns as fit, then rows of even length: four lanes are two
    // by two, not three and one.
    const int count = int(m_laneWidgets.size());
    const int fit = std::max(1, m_scroll->viewport()->width() / kLaneMinWidth);
    int columns = std::clamp(count, 1, fit);
    const int rows = (count + columns - 1) / columns;
    if (rows > 0)
        columns = (count + rows - 1) / rows;
    if (columns == m_columns && count == m_placed)
        return;
    for (int i = 0; i < count; ++i)
        m_laneGrid->addWidget(m_laneWidgets.at(i), i / columns, i % columns);
    m_columns = columns;
    m_placed = count;
}

bool StationWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        placeLanes();
    return QMainWindow::eventFilter(watched, event);
}

void StationWindow::endForSignal(int signalNumber)
{
    m_presenter->stopForSignal();
    QCoreApplication::exit(128 + signalNumber);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    // Closing now would cut updates off half way: asked first, then every
    // lane is stopped as Stop does, its record written.
    if (m_presenter->anyRunning() && !m_closeConfirmed) {
        m_asking = true;
        m_messages->ask(this,
                        {tr("Lanes are running. Stop them and close? Their units may be left erased."),
                         tr("Close the station"), Message::Icon::Critical},
                        [this] {
                            m_presenter->stopAll();
                            m_closeConfirmed = true;
                            // Answered later, from the box: close again. Answered
                            // at once, this very close goes on.
                            if (!m_asking)
                                close();
                        });
        m_asking = false;
        if (!m_closeConfirmed) {
            event->ignore();
            return;
        }
    }
    QMainWindow::closeEvent(event);
}
