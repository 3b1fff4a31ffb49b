#include "desktop/station/lanewidget.h"

#include <QColor>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPalette>
#include <QPushButton>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// The big word's size: PASS and FAIL are read from two metres away; the
// words of a lane at work ("WRITING 63 %") are longer and need less.
constexpr int kVerdictPixels = 40;
constexpr int kWorkingPixels = 24;

// Colours by kind of state; the word always says the state too.
enum ColourClass { Quiet, Busy, Pass, Fail };

ColourClass colourClass(LaneView::Phase phase)
{
    switch (phase) {
    case LaneView::Phase::Passed:
        return Pass;
    case LaneView::Phase::Failed:
        return Fail;
    case LaneView::Phase::Idle:
    case LaneView::Phase::Waiting:
        return Quiet;
    default:
        return Busy;
    }
}

// Background and text. A palette, not a style sheet: the label is drawn ten
// times a second on each of dozens of lanes, and style sheets are slow to draw.
std::pair<QColor, QColor> coloursFor(ColourClass c)
{
    switch (c) {
    case Pass:
        return {QColor(0x1b, 0x7f, 0x2a), Qt::white};
    case Fail:
        return {QColor(0xc0, 0x22, 0x1b), Qt::white};
    case Busy:
        return {QColor(0x1f, 0x5f, 0xa8), Qt::white};
    case Quiet:
        break;
    }
    return {QColor(0xd8, 0xd8, 0xd8), Qt::black};
}

} // namespace

LaneWidget::LaneWidget(QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setVerticalSpacing(3);

    nameLabel = new QLabel(this);
    QFont nameFont = nameLabel->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
    nameLabel->setFont(nameFont);
    startStopButton = new QPushButton(tr("Start"), this);
    startStopButton->setObjectName(u"laneStartStop"_s);
    portLabel = new QLabel(this);
    verdictLabel = new QLabel(this);
    QFont verdictFont = verdictLabel->font();
    verdictFont.setBold(true);
    verdictFont.setPixelSize(kVerdictPixels);
    verdictLabel->setFont(verdictFont);
    verdictLabel->setAlignment(Qt::AlignCenter);
    verdictLabel->setAutoFillBackground(true);
    verdictLabel->setMinimumHeight(kVerdictPixels * 3 / 2);
    bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setMaximumHeight(10);
    detailLabel = new QLabel(this);
    // A cause names the line and what the instrument said: room for two
    // lines, always, so tiles keep their size whatever they say.
    detailLabel->setWordWrap(true);
    detailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    detailLabel->setFixedHeight(detailLabel->fontMetrics().lineSpacing() * 2);
    recordLabel = new QLabel(this);
    QPalette warning = recordLabel->palette();
    warning.setColor(QPalette::WindowText, QColor(0xc0, 0x22, 0x1b));
    recordLabel->setPalette(warning);
    QFont warningFont = recordLabel->font();
    warningFont.setBold(true);
    recordLabel->setFont(warningFont);
    lastLabel = new QLabel(this);
    // Long texts are cut at the lane's edge instead of widening the lane;
    // the whole of them is in the tooltip.
    for (QLabel *l : {nameLabel, portLabel, detailLabel, recordLabel, lastLabel}) {
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        l->setTextFormat(Qt::PlainText);
    }
    verdictLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    verdictLabel->setTextFormat(Qt::PlainText);

    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(startStopButton, 0, 1);
    grid->addWidget(portLabel, 1, 0, 1, 2);
    grid->addWidget(verdictLabel, 2, 0, 1, 2);
    grid->addWidget(bar, 3, 0, 1, 2);
    grid->addWidget(detailLabel, 4, 0, 1, 2);
    grid->addWidget(recordLabel, 5, 0, 1, 2);
    grid->addWidget(lastLabel, 6, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    recordLabel->hide();

    connect(startStopButton, &QPushButton::clicked, this, &LaneWidget::startStopClicked);
    setView(m_view);
}

QString LaneWidget::verdictText() const
{
    return verdictLabel->text();
}

void LaneWidget::setView(const LaneView &view)
{
    using Phase = LaneView::Phase;
    m_view = view;
    nameLabel->setText(view.name);
    nameLabel->setToolTip(view.name);
    QString port = view.port;
    if (!view.device.isEmpty() && view.device != view.port)
        port += u" → "_s + view.device;
    if (!view.serialNumber.isEmpty())
        port += tr(", serial number %1").arg(view.serialNumber);
    portLabel->setText(port);
    portLabel->setToolTip(port);

    QString word;
    int progress = 0;
    switch (view.phase) {
    case Phase::Idle:
        word = tr("IDLE");
        break;
    case Phase::Waiting:
        word = tr("WAITING");
        break;
    case Phase::Starting:
        word = tr("STARTING");
        break;
    case Phase::Erasing:
        word = tr("ERASING %1 %").arg(view.erasePercent);
        progress = view.erasePercent;
        break;
    case Phase::HandingOver:
        word = tr("ERASED");
        progress = 100;
        break;
    case Phase::Writing:
        progress = view.linesTotal > 0 ? int(qint64(view.linesSent) * 100 / view.linesTotal) : 0;
        word = tr("WRITING %1 %").arg(progress);
        break;
    case Phase::Retrying:
        word = tr("RETRY %1 OF %2").arg(view.attempt).arg(view.attempts);
        break;
    case Phase::Passed:
        word = tr("PASS");
        progress = 100;
        break;
    case Phase::Failed:
        word = tr("FAIL");
        // How far it got.
        progress = view.linesTotal > 0 ? int(qint64(view.linesSent) * 100 / view.linesTotal) : 0;
        break;
    }
    verdictLabel->setText(word);
    bar->setValue(progress);
    if (const int c = colourClass(view.phase); c != m_colourClass) {
        m_colourClass = c;
        const auto [background, text] = coloursFor(ColourClass(c));
        QPalette palette = verdictLabel->palette();
        palette.setColor(QPalette::Window, background);
        palette.setColor(QPalette::WindowText, text);
        verdictLabel->setPalette(palette);
        QFont font = verdictLabel->font();
        font.setPixelSize(c == Pass || c == Fail ? kVerdictPixels : kWorkingPixels);
        verdictLabel->setFont(font);
    }

    QString detail = view.detail;
    if (view.phase == Phase::Writing)
        detail = tr("line %1 of %2").arg(view.linesSent).arg(view.linesTotal);
    if (view.attempt > 1 && (view.phase == Phase::Erasing || view.phase == Phase::HandingOver
                             || view.phase == Phase::Writing || view.phase == Phase::Starting))
        detail += tr(" (attempt %1 of %2)").arg(view.attempt).arg(view.attempts);
    detailLabel->setText(detail);
    detailLabel->setToolTip(detail);
    recordLabel->setText(view.recordProblem.isEmpty() ? QString() : tr("Record not written: %1").arg(view.recordProblem));
    recordLabel->setToolTip(recordLabel->text());
    recordLabel->setVisible(!view.recordProblem.isEmpty());
    QString last = tr("%1 passed, %2 failed").arg(view.passed).arg(view.failed);
    if (view.lastFinished.isValid())
        last += tr("; last at %1").arg(view.lastFinished.toString(u"HH:mm:ss"_s));
    lastLabel->setText(last);
    startStopButton->setText(view.running ? tr("Stop") : tr("Start"));
}

void LaneWidget::contextMenuEvent(QContextMenuEvent *event)
{
    // popup(), not exec(): no event loop of the menu's own while lanes run.
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_view.running ? tr("Stop this lane") : tr("Start this lane"), this, &LaneWidget::startStopClicked);
    QAction *edit = menu->addAction(tr("Edit lane..."), this, &LaneWidget::editRequested);
    QAction *remove = menu->addAction(tr("Remove lane"), this, &LaneWidget::removeRequested);
    edit->setEnabled(m_view.canEdit);
    remove->setEnabled(m_view.canEdit);
    menu->popup(event->globalPos());
    event->accept();
}

void LaneWidget::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (m_view.canEdit)
        emit editRequested();
    QFrame::mouseDoubleClickEvent(event);
}
