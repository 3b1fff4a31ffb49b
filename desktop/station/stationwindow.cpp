#include "desktop/station/stationwindow.h"

#include "core/common/message.h"
#include "core/update/laneoptions.h"
#include "desktop/panels/filedialog.h"
#include "desktop/station/elidedlabel.h"
#include "desktop/station/focusframe.h"
#include "desktop/station/historyview.h"
#include "desktop/station/lanewidget.h"
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
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

// Tiles are this wide while every lane fits so; narrower, down to the
// least, when that brings every lane into view (32 lanes on a 1920-pixel
// screen are 8 across). Narrower still would cut a lane's name beside its
// button to a few letters.
constexpr int kLaneWidth = 300;
constexpr int kLaneMinWidth = 220;
// The widest counter text, so that the box keeps its width as the yield
// appears and grows: four-digit counts, a yield of 100 %.
const QString kWidestCounter = u"TOTAL 8888, yield 100.0 %"_s;
// A failed lane's entry in the strip: room for "Bay 12, left" and the like;
// longer names are cut, whole in the tooltip.
constexpr int kFailedEntryChars = 16;
constexpr int kFailedStripRows = 2;
// What an operator may paste: a hash, or a line of sha256sum with its file name.
constexpr int kExpectedShaMaxLength = 300;

ElidedLabel *counterLabel(QWidget *parent, const QString &name, int lines = 1)
{
    auto *label = new ElidedLabel(parent, lines);
    label->setObjectName(name);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.5);
    label->setFont(font);
    label->setFixedWidth(QFontMetrics(font).horizontalAdvance(kWidestCounter));
    return label;
}

} // namespace

StationWindow::StationWindow(MessagePresenter *messages, QWidget *parent)
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
    column->addWidget(buildFailedStrip());
    m_scroll = new QScrollArea(central);
    m_scroll->setWidgetResizable(true);
    m_laneArea = new QWidget(m_scroll);
    m_laneGrid = new QGridLayout(m_laneArea);
    m_laneGrid->setAlignment(Qt::AlignTop);
    m_scroll->setWidget(m_laneArea);
    // The columns follow the room the lanes have, whatever changed it.
    m_scroll->viewport()->installEventFilter(this);
    column->addWidget(m_scroll, 1);
    m_emptyHint = new QLabel(tr("No lanes yet. Press \"Add lane...\" once for each port an instrument is on "
                                "(its /dev/serial/by-id path is best), or start the station with --port PORT."),
                             central);
    m_emptyHint->setObjectName(u"emptyHint"_s);
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setAlignment(Qt::AlignCenter);
    QFont hintFont = m_emptyHint->font();
    hintFont.setPointSizeF(hintFont.pointSizeF() * 1.3);
    m_emptyHint->setFont(hintFont);
    column->addWidget(m_emptyHint, 1);
    setCentralWidget(central);
    // Owned by the window: the one mark of the focus, whichever control has it.
    new FocusFrame(this);
    // Fits the 1024 x 768 screens of the bench PCs, frame included.
    resize(1000, 700);

    placeLanes();

    m_fileDialog = new FirmwareFileDialog(this);
    m_fileDialog->setObjectName(u"fileDialog"_s);
    connect(m_chooseButton, &QPushButton::clicked, this, [this] { m_fileDialog->open(this); });
    connect(m_fileDialog, &FirmwareFileDialog::finished, this, [this](const QString &fullName) {
        if (!fullName.isEmpty())
            emit imageChosen(fullName);
    });
    connect(m_startButton, &QPushButton::clicked, this, &StationWindow::startAllRequested);
    connect(m_retryButton, &QPushButton::clicked, this, &StationWindow::retryFailedRequested);
    connect(m_stopButton, &QPushButton::clicked, this, &StationWindow::stopAllRequested);
    connect(m_addLaneButton, &QPushButton::clicked, this, &StationWindow::addLaneRequested);
    connect(m_historyButton, &QPushButton::clicked, this, &StationWindow::historyRequested);
    // Clicked, not toggled: only the operator's own change is kept.
    connect(m_serialRequiredBox, &QCheckBox::clicked, this, &StationWindow::serialRequiredChanged);
    connect(m_expectedSha, &QLineEdit::textChanged, this, &StationWindow::expectedShaChanged);

    // The keys of a station: the operator's hands are on units, not on a mouse.
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(key, this), &QShortcut::activated, this, &StationWindow::startAllRequested);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this), &QShortcut::activated, this,
            &StationWindow::retryFailedRequested);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &StationWindow::stopAllRequested);
    connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, m_chooseButton, &QPushButton::click);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this, [this] {
        if (m_historyKept)
            emit historyRequested();
    });
    setHistoryKept(false);
}

StationWindow::~StationWindow() = default;

QWidget *StationWindow::buildImageBox()
{
    auto *box = new QGroupBox(tr("Firmware image, for every lane"), this);
    auto *form = new QFormLayout(box);
    m_chooseButton = new QPushButton(tr("Choose image... (Ctrl+O)"), box);
    m_chooseButton->setObjectName(u"chooseButton"_s);
    m_imageName = new ElidedLabel(box);
    m_imageName->setObjectName(u"imageName"_s);
    m_imageName->setText(tr("(none chosen)"));
    QFont bold = m_imageName->font();
    bold.setBold(true);
    m_imageName->setFont(bold);
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(m_chooseButton);
    nameRow->addWidget(m_imageName, 1);
    form->addRow(nameRow);
    // Two lines: the ranges and the warnings of an image, or why it was refused.
    m_imageSummary = new ElidedLabel(box, 2);
    m_imageSummary->setObjectName(u"imageSummary"_s);
    form->addRow(tr("Holds:"), m_imageSummary);
    // Selectable, in a fixed font: compared digit by digit with the release note.
    m_imageSha = new QLineEdit(box);
    m_imageSha->setObjectName(u"imageSha"_s);
    m_imageSha->setReadOnly(true);
    // Read and copied, never typed into: it does not take the focus from the keys.
    m_imageSha->setFocusPolicy(Qt::ClickFocus);
    m_imageSha->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    form->addRow(tr("SHA-256:"), m_imageSha);
    m_expectedSha = new QLineEdit(box);
    m_expectedSha->setObjectName(u"expectedSha"_s);
    m_expectedSha->setMaxLength(kExpectedShaMaxLength);
    m_expectedSha->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_expectedSha->setPlaceholderText(tr("the released image's SHA-256: any other image is refused"));
    m_expectedState = new ElidedLabel(box);
    m_expectedState->setObjectName(u"expectedState"_s);
    auto *expectedRow = new QVBoxLayout;
    expectedRow->addWidget(m_expectedSha);
    expectedRow->addWidget(m_expectedState);
    form->addRow(tr("Released SHA-256:"), expectedRow);
    return box;
}

QWidget *StationWindow::buildCounters()
{
    auto *box = new QGroupBox(tr("Since the window opened"), this);
    auto *counters = new QVBoxLayout(box);
    m_passedLabel = counterLabel(box, u"passedCounter"_s);
    m_passedLabel->setStyleSheet(u"color: #1b7f2a;"_s);
    m_failedLabel = counterLabel(box, u"failedCounter"_s);
    m_failedLabel->setStyleSheet(u"color: #c0221b;"_s);
    // Two lines: what follows the total wraps rather than widening the box.
    m_totalLabel = counterLabel(box, u"totalCounter"_s, 2);
    counters->addWidget(m_passedLabel);
    counters->addWidget(m_failedLabel);
    counters->addWidget(m_totalLabel);
    // Shown only while records wait for a central server that is named.
    m_serverWaiting = new ElidedLabel(box, 2);
    m_serverWaiting->setObjectName(u"serverWaiting"_s);
    m_serverWaiting->setStyleSheet(u"color: #9a6700;"_s);
    m_serverWaiting->hide();
    counters->addWidget(m_serverWaiting);
    counters->addStretch(1);
    box->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return box;
}

QWidget *StationWindow::buildFailedStrip()
{
    m_failedStrip = new QWidget(this);
    auto *row = new QHBoxLayout(m_failedStrip);
    // Room for the focus frame around the list.
    row->setContentsMargins(2, 2, 2, 2);
    m_failedTitle = new QLabel(m_failedStrip);
    QFont bold = m_failedTitle->font();
    bold.setBold(true);
    m_failedTitle->setFont(bold);
    m_failedList = new QListWidget(m_failedStrip);
    m_failedList->setObjectName(u"failedLanes"_s);
    m_failedList->setFlow(QListView::LeftToRight);
    m_failedList->setWrapping(true);
    m_failedList->setResizeMode(QListView::Adjust);
    m_failedList->setUniformItemSizes(true);
    m_failedList->setTextElideMode(Qt::ElideMiddle);
    m_failedList->setSelectionMode(QAbstractItemView::NoSelection);
    m_failedList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_failedList->setFont(bold);
    // Of the window's colour, not a white field: while no lane has failed
    // it is an empty stretch of the strip, kept so the lanes do not move.
    m_failedList->setFrameShape(QFrame::NoFrame);
    m_failedList->viewport()->setBackgroundRole(QPalette::Window);
    const QFontMetrics fm(bold);
    const QSize entry(fm.averageCharWidth() * kFailedEntryChars, fm.height() + 8);
    m_failedList->setGridSize(entry);
    m_failedList->setFixedHeight(entry.height() * kFailedStripRows + 2 * m_failedList->frameWidth());
    m_failedList->setMinimumWidth(entry.width() + 2 * m_failedList->frameWidth());
    row->addWidget(m_failedTitle, 0, Qt::AlignTop);
    row->addWidget(m_failedList, 1);
    connect(m_failedList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { showLane(item->data(Qt::UserRole).toInt()); });
    connect(m_failedList, &QListWidget::itemActivated, this,
            [this](QListWidgetItem *item) { showLane(item->data(Qt::UserRole).toInt()); });
    m_failedStrip->hide();
    return m_failedStrip;
}

QWidget *StationWindow::buildControls()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    // Room for the focus frame around the buttons at the bar's edges.
    row->setContentsMargins(2, 2, 2, 2);
    m_startButton = new QPushButton(tr("Start (Return)"), bar);
    m_startButton->setObjectName(u"startButton"_s);
    m_retryButton = new QPushButton(tr("Retry failed (Ctrl+R)"), bar);
    m_retryButton->setObjectName(u"retryButton"_s);
    m_stopButton = new QPushButton(tr("Stop (Esc)"), bar);
    m_stopButton->setObjectName(u"stopButton"_s);
    m_watchBox = new QCheckBox(tr("Watch: update units as they arrive"), bar);
    m_watchBox->setObjectName(u"watchBox"_s);
    m_retriesBox = new QSpinBox(bar);
    m_retriesBox->setObjectName(u"retriesBox"_s);
    m_retriesBox->setRange(0, LaneOptions::kMaxRetries);
    m_retriesBox->setPrefix(tr("Retries: "));
    m_serialRequiredBox = new QCheckBox(tr("Serial required"), bar);
    m_serialRequiredBox->setObjectName(u"serialRequiredBox"_s);
    m_serialRequiredBox->setToolTip(tr("A lane starts only with its unit's serial in its field"));
    m_historyButton = new QPushButton(tr("History... (Ctrl+H)"), bar);
    m_historyButton->setObjectName(u"historyButton"_s);
    m_addLaneButton = new QPushButton(tr("Add lane..."), bar);
    m_addLaneButton->setObjectName(u"addLaneButton"_s);
    for (QWidget *w : std::initializer_list<QWidget *>{m_startButton, m_retryButton, m_stopButton})
        row->addWidget(w);
    row->addSpacing(16);
    row->addWidget(m_watchBox);
    row->addWidget(m_retriesBox);
    row->addWidget(m_serialRequiredBox);
    row->addStretch(1);
    row->addWidget(m_historyButton);
    row->addWidget(m_addLaneButton);
    return bar;
}

int StationWindow::addLane()
{
    auto *widget = new LaneWidget(m_laneArea);
    m_laneWidgets.append(widget);
    connect(widget, &LaneWidget::summaryChanged, this, &StationWindow::listFailed);
    connect(widget, &LaneWidget::startStopClicked, this,
            [this, widget] { emit laneStartStopRequested(int(m_laneWidgets.indexOf(widget))); });
    connect(widget, &LaneWidget::editRequested, this,
            [this, widget] { emit laneEditRequested(int(m_laneWidgets.indexOf(widget))); });
    connect(widget, &LaneWidget::removeRequested, this,
            [this, widget] { emit laneRemoveRequested(int(m_laneWidgets.indexOf(widget))); });
    connect(widget, &LaneWidget::detailsRequested, this, [this, widget] { showDetails(widget); });
    connect(widget, &LaneWidget::serialEntered, this,
            [this, widget](const QString &text) { emit laneSerialEntered(int(m_laneWidgets.indexOf(widget)), text); });
    widget->setSerialShown(m_historyKept);
    placeLanes();
    return int(m_laneWidgets.size()) - 1;
}

void StationWindow::removeLane(int index)
{
    LaneWidget *widget = m_laneWidgets.takeAt(index);
    m_laneGrid->removeWidget(widget);
    widget->deleteLater();
    m_placed = -1;
    placeLanes();
    listFailed();
}

void StationWindow::setLaneView(int index, const LaneView &view)
{
    m_laneWidgets.at(index)->setView(view);
}

void StationWindow::showDetails(const LaneWidget *widget)
{
    const LaneView &view = widget->view();
    const QString prompt = view.detail.isEmpty() ? widget->verdictText() : view.detail;
    m_messages->show(this, {prompt, view.name, Message::Icon::Information}, view.causes.split(u'\n'));
}

void StationWindow::setImageChosen(const QString &name, const QString &path)
{
    m_imageName->setText(name);
    m_imageName->setToolTip(path);
}

void StationWindow::setImageSummary(const QString &summary, const QString &sha256)
{
    m_imageSummary->setText(summary);
    m_imageSha->setText(sha256);
}

void StationWindow::setExpectedSha(const QString &text)
{
    m_expectedSha->setText(text);
}

void StationWindow::setExpectedState(const QString &text, const QString &style)
{
    m_expectedState->setText(text);
    m_expectedState->setStyleSheet(style);
}

void StationWindow::setLaneCounts(const QString &passed, const QString &failed, const QString &total)
{
    m_passedLabel->setText(passed);
    m_failedLabel->setText(failed);
    m_totalLabel->setText(total);
}

void StationWindow::setServerWaiting(const QString &text, const QString &why)
{
    m_serverWaiting->setText(text);
    m_serverWaiting->setToolTip(why);
    m_serverWaiting->setVisible(!text.isEmpty());
}

void StationWindow::setControls(const Controls &controls)
{
    m_running = controls.running;
    m_chooseButton->setEnabled(controls.canChoose);
    m_startButton->setEnabled(controls.canStart);
    m_retryButton->setEnabled(controls.canRetry);
    m_stopButton->setEnabled(controls.running);
    // A lane takes Watch and Retries when it starts: changed only at rest,
    // so what the window shows is what every lane runs with.
    m_watchBox->setEnabled(!controls.running);
    m_retriesBox->setEnabled(!controls.running);
    m_serialRequiredBox->setEnabled(!controls.running);
    m_addLaneButton->setEnabled(controls.canAddLane);
}

void StationWindow::setWatch(bool watch)
{
    m_watchBox->setChecked(watch);
}

bool StationWindow::watch() const
{
    return m_watchBox->isChecked();
}

void StationWindow::setRetries(int retries)
{
    m_retriesBox->setValue(retries);
}

int StationWindow::retries() const
{
    return m_retriesBox->value();
}

void StationWindow::setHistoryKept(bool kept)
{
    m_historyKept = kept;
    m_serialRequiredBox->setVisible(kept);
    m_historyButton->setVisible(kept);
    for (LaneWidget *widget : std::as_const(m_laneWidgets))
        widget->setSerialShown(kept);
    // The tiles' height changes with the serial's line.
    placeLanes();
}

void StationWindow::setSerialRequired(bool required)
{
    m_serialRequiredBox->setChecked(required);
}

bool StationWindow::serialRequired() const
{
    return m_historyKept && m_serialRequiredBox->isChecked();
}

QString StationWindow::serialText(int index) const
{
    return m_laneWidgets.at(index)->serialEdit->text();
}

void StationWindow::setSerialText(int index, const QString &text)
{
    m_laneWidgets.at(index)->serialEdit->setText(text);
}

bool StationWindow::historyViewShown() const
{
    return m_historyView && m_historyView->isVisible();
}

HistoryView *StationWindow::historyView()
{
    if (!m_historyView)
        m_historyView = new HistoryView(this);
    return m_historyView;
}

void StationWindow::placeLanes()
{
    const int count = int(m_laneWidgets.size());
    m_emptyHint->setVisible(count == 0);
    m_scroll->setVisible(count > 0);
    // The rows that fit the room the lanes have now, tiles being all of one
    // height (a lane's record warning adds a line).
    const QMargins margins = m_laneGrid->contentsMargins();
    const int across = m_laneGrid->horizontalSpacing();
    const int down = m_laneGrid->verticalSpacing();
    QSize room = m_scroll->viewport()->size().shrunkBy(margins);
    // The room without the strip of failed lanes: the strip is there only
    // because the lanes did not fit without it.
    if (!m_failedStrip->isHidden())
        room.rheight() += m_failedStrip->height() + centralWidget()->layout()->spacing();
    int tileHeight = 1;
    for (const LaneWidget *w : std::as_const(m_laneWidgets))
        tileHeight = std::max(tileHeight, w->sizeHint().height());
    const int rowsInView = std::max(1, (room.height() + down) / (tileHeight + down));
    // As many columns as fit, then rows of even length: four lanes are two
    // by two, not three and one.
    const auto gridFor = [&](int tileWidth) {
        const int fit = std::max(1, (room.width() + across) / (tileWidth + across));
        int columns = std::clamp(count, 1, fit);
        const int rows = (count + columns - 1) / columns;
        if (rows > 0)
            columns = (count + rows - 1) / rows;
        return std::pair{columns, rows};
    };
    auto [columns, rows] = gridFor(kLaneWidth);
    if (rows > rowsInView)
        std::tie(columns, rows) = gridFor(kLaneMinWidth);
    const bool allInView = rows <= rowsInView;
    if (allInView != m_allInView) {
        m_allInView = allInView;
        listFailed();
    }
    if (columns == m_columns && count == m_placed)
        return;
    for (int i = 0; i < count; ++i)
        m_laneGrid->addWidget(m_laneWidgets.at(i), i / columns, i % columns);
    m_columns = columns;
    m_placed = count;
}

void StationWindow::listFailed()
{
    // Only while some lanes are out of view: then a failure could otherwise
    // show in the counters alone.
    m_failedStrip->setVisible(!m_allInView);
    if (m_allInView)
        return;
    m_failedList->clear();
    for (int i = 0; i < m_laneWidgets.size(); ++i) {
        const LaneView &view = m_laneWidgets.at(i)->view();
        if (view.phase != LaneView::Phase::Failed)
            continue;
        auto *item = new QListWidgetItem(view.name, m_failedList);
        item->setData(Qt::UserRole, i);
        item->setToolTip(view.name);
        item->setBackground(QColor(0xc0, 0x22, 0x1b));
        item->setForeground(Qt::white);
        item->setTextAlignment(Qt::AlignCenter);
        // A gap between the red entries, inside the grid's cells.
        item->setSizeHint(m_failedList->gridSize() - QSize(4, 4));
    }
    m_failedTitle->setText(m_failedList->count() == 0 ? tr("Failed lanes: none")
                                                      : tr("Failed lanes, click to see one:"));
}

void StationWindow::showLane(int index)
{
    if (index < 0 || index >= m_laneWidgets.size())
        return;
    m_scroll->ensureWidgetVisible(m_laneWidgets.at(index), 0, 0);
}

bool StationWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        placeLanes();
    return QMainWindow::eventFilter(watched, event);
}

void StationWindow::endForSignal(int signalNumber)
{
    emit stopForSignalRequested();
    QCoreApplication::exit(128 + signalNumber);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    // Closing now would cut updates off half way: asked first, then every
    // lane is stopped as Stop does, its record written.
    if (m_running && !m_closeConfirmed) {
        m_asking = true;
        m_messages->ask(this,
                        {tr("Lanes are running. Stop them and close? Their units may be left erased."),
                         tr("Close the station"), Message::Icon::Critical},
                        [this] {
                            emit stopAllRequested();
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
