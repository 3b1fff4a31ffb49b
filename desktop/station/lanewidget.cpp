#include "desktop/station/lanewidget.h"

#include "desktop/station/elidedlabel.h"

#include <QColor>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QTextDocument>

#include <algorithm>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

// The big word's size: PASS and FAIL are read from two metres away; the
// words of a lane at work ("WRITING 63 %") are longer and need less.
constexpr int kVerdictPixels = 40;
constexpr int kWorkingPixels = 24;
// A word too long for a narrow tile is drawn smaller to fit, down to this.
constexpr int kLeastWordPixels = 12;
constexpr int kWordMargin = 4;
// The band: the letters and a margin above and below, no more, so that
// four rows of tiles fit a 1080-line screen.
constexpr int kWordHeight = kVerdictPixels + 14;
constexpr int kBarHeight = 10;
constexpr int kGap = 3;
// A cause names the line and what the instrument said: room for two lines,
// always, so tiles keep their size whatever they say.
constexpr int kDetailLines = 2;
// What the serial's field takes: room for a scanner's longest label and
// more, so that a serial too long is refused whole rather than cut to fit
// (a cut serial would name another unit).
constexpr int kSerialFieldMaxLength = 256;

// Colours by kind of state; the word always says the state too.
enum ColourClass { Quiet, Busy, Pass, Fail, Attention };

ColourClass colourClass(LaneView::Phase phase)
{
    switch (phase) {
    case LaneView::Phase::Passed:
        return Pass;
    case LaneView::Phase::Failed:
        return Fail;
    case LaneView::Phase::Stopped:
    case LaneView::Phase::NotStarted:
        return Attention;
    case LaneView::Phase::Idle:
    case LaneView::Phase::Waiting:
        return Quiet;
    default:
        return Busy;
    }
}

// Background and text of the word.
std::pair<QColor, QColor> coloursFor(ColourClass c)
{
    switch (c) {
    case Pass:
        return {QColor(0x1b, 0x7f, 0x2a), Qt::white};
    case Fail:
        return {QColor(0xc0, 0x22, 0x1b), Qt::white};
    case Busy:
        return {QColor(0x1f, 0x5f, 0xa8), Qt::white};
    case Attention:
        // Amber: neither a unit's pass nor its failure, but not to be missed.
        return {QColor(0xf0, 0xa2, 0x02), Qt::black};
    case Quiet:
        break;
    }
    return {QColor(0xd8, 0xd8, 0xd8), Qt::black};
}

} // namespace

// The word on its coloured band, the bar and the detail, painted together.
class LaneStatus : public QWidget
{
public:
    explicit LaneStatus(QWidget *parent)
        : QWidget(parent)
    {
        m_wordFont = font();
        m_wordFont.setBold(true);
        setFixedHeight(kWordHeight + kGap + kBarHeight + kGap + fontMetrics().lineSpacing() * kDetailLines);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }

    void setStatus(const QString &word, ColourClass colour, int progress, const QString &detail)
    {
        if (word == m_word && colour == m_colour && progress == m_progress && detail == m_detail)
            return;
        if (word != m_word)
            setAccessibleName(word);
        m_word = word;
        m_colour = colour;
        m_progress = std::clamp(progress, 0, 100);
        m_detail = detail;
        m_fittedWidth = -1;
        fitWord();
        update();
    }
    const QString &word() const { return m_word; }
    int wordPixels() const { return m_wordFont.pixelSize(); }

protected:
    void resizeEvent(QResizeEvent *) override { fitWord(); }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const auto [background, text] = coloursFor(m_colour);
        const QRect band(0, 0, width(), kWordHeight);
        painter.fillRect(band, background);
        painter.setPen(text);
        painter.setFont(m_wordFont);
        painter.drawText(band, Qt::AlignCenter, m_word);

        const QRect bar(0, kWordHeight + kGap, width(), kBarHeight);
        painter.fillRect(bar, palette().base());
        painter.fillRect(QRect(bar.left(), bar.top(), bar.width() * m_progress / 100, bar.height()),
                         palette().highlight());
        painter.setPen(palette().mid().color());
        painter.drawRect(bar.adjusted(0, 0, -1, -1));

        painter.setPen(palette().windowText().color());
        painter.setFont(font());
        const QRect room(0, bar.bottom() + 1 + kGap, width(), height() - bar.bottom() - 1 - kGap);
        painter.drawText(room, kDetailFlags, fittedDetail(room));
    }

private:
    void fitWord()
    {
        const int wanted = m_colour == Pass || m_colour == Fail ? kVerdictPixels : kWorkingPixels;
        m_wordFont.setPixelSize(wanted);
        const int room = width() - 2 * kWordMargin;
        const int needed = QFontMetrics(m_wordFont).horizontalAdvance(m_word);
        if (needed > room && room > 0)
            m_wordFont.setPixelSize(std::max(kLeastWordPixels, wanted * room / needed));
    }

    static constexpr int kDetailFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;

    // The detail wrapped into its lines, and where it does not fit, cut at
    // a word with an ellipsis: never a cause that stops mid-sentence unmarked.
    const QString &fittedDetail(const QRect &room)
    {
        if (m_fittedWidth == room.width())
            return m_fitted;
        m_fittedWidth = room.width();
        m_fitted = m_detail;
        const QFontMetrics metrics = fontMetrics();
        // A word too long for the line may stick out past its edge, cut
        // there unmarked: that does not fit either.
        const auto fits = [&](const QString &text) {
            const QRect needed = metrics.boundingRect(QRect(0, 0, room.width(), 0xFFFF), kDetailFlags, text);
            return needed.height() <= room.height() && needed.width() <= room.width();
        };
        if (fits(m_fitted))
            return m_fitted;
        qsizetype keep = m_detail.size();
        while (keep > 0 && !fits(m_fitted)) {
            keep = m_detail.lastIndexOf(u' ', keep - 1);
            if (keep < 0)
                keep = 0;
            m_fitted = m_detail.left(keep) + u"…"_s;
        }
        return m_fitted;
    }

    QFont m_wordFont;
    QString m_word;
    ColourClass m_colour = Quiet;
    int m_progress = 0;
    QString m_detail;
    QString m_fitted;
    int m_fittedWidth = -1;
};

LaneWidget::LaneWidget(QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setVerticalSpacing(3);

    nameLabel = new ElidedLabel(this);
    QFont nameFont = nameLabel->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
    nameLabel->setFont(nameFont);
    startStopButton = new QPushButton(tr("Start"), this);
    startStopButton->setObjectName(u"laneStartStop"_s);
    portLabel = new ElidedLabel(this);
    status = new LaneStatus(this);
    status->setObjectName(u"laneStatus"_s);
    recordLabel = new ElidedLabel(this);
    QPalette warning = recordLabel->palette();
    warning.setColor(QPalette::WindowText, QColor(0xc0, 0x22, 0x1b));
    recordLabel->setPalette(warning);
    QFont warningFont = recordLabel->font();
    warningFont.setBold(true);
    recordLabel->setFont(warningFont);
    // Cut in the middle too: it says what the history says of a unit.
    lastLabel = new ElidedLabel(this);
    // Long texts are cut in the middle at the lane's edge instead of
    // widening the lane; the whole of them is in the tooltip.
    for (QLabel *l : {nameLabel, portLabel, recordLabel, lastLabel}) {
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        l->setTextFormat(Qt::PlainText);
    }

    serialEdit = new QLineEdit(this);
    serialEdit->setObjectName(u"unitSerial"_s);
    serialEdit->setPlaceholderText(tr("Unit serial"));
    serialEdit->setAccessibleName(tr("Unit serial"));
    serialEdit->setMaxLength(kSerialFieldMaxLength);
    serialEdit->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    serialEdit->installEventFilter(this);

    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(startStopButton, 0, 1);
    // The serial beside the port, and what is said of it in the last line:
    // 32 tiles stay four rows on a 1080-line screen, each name whole.
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(portLabel, 1);
    portRow->addWidget(serialEdit, 1);
    grid->addLayout(portRow, 1, 0, 1, 2);
    grid->addWidget(status, 2, 0, 1, 2);
    grid->addWidget(recordLabel, 3, 0, 1, 2);
    grid->addWidget(lastLabel, 4, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    recordLabel->hide();
    setSerialShown(false);

    connect(startStopButton, &QPushButton::clicked, this, &LaneWidget::startStopClicked);
    connect(serialEdit, &QLineEdit::returnPressed, this, [this] { emit serialEntered(serialEdit->text()); });
    setView(m_view);
}

QString LaneWidget::verdictText() const
{
    return status->word();
}

int LaneWidget::verdictPixelSize() const
{
    return status->wordPixels();
}

void LaneWidget::setSerialShown(bool shown)
{
    serialEdit->setVisible(shown);
}

bool LaneWidget::eventFilter(QObject *watched, QEvent *event)
{
    // Return is the window's Start for every lane, except in this field:
    // there it ends a serial, and starts this lane alone.
    if (watched == serialEdit && event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            event->accept();
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

void LaneWidget::setView(const LaneView &view)
{
    using Phase = LaneView::Phase;
    const bool summaryChanges = view.phase != m_view.phase || view.name != m_view.name;
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
    case Phase::Stopped:
        word = tr("STOPPED");
        progress = view.linesTotal > 0 ? int(qint64(view.linesSent) * 100 / view.linesTotal) : 0;
        break;
    case Phase::NotStarted:
        word = tr("NOT STARTED");
        break;
    }
    QString detail = view.detail;
    if (view.phase == Phase::Writing)
        detail = tr("line %1 of %2").arg(view.linesSent).arg(view.linesTotal);
    if (view.attempt > 1
        && (view.phase == Phase::Erasing || view.phase == Phase::HandingOver || view.phase == Phase::Writing
            || view.phase == Phase::Starting))
        detail += tr(" (attempt %1 of %2)").arg(view.attempt).arg(view.attempts);
    status->setStatus(word, colourClass(view.phase), progress, detail);
    // The whole cause one hover or click away (the menu's Details).
    status->setToolTip(view.causes.isEmpty() ? detail : view.causes);
    // A lost record outweighs the note that the file was opened anew.
    recordLabel->setText(!view.recordProblem.isEmpty() ? tr("Record not written: %1").arg(view.recordProblem)
                                                       : view.recordNotice);
    recordLabel->setToolTip(recordLabel->text());
    recordLabel->setVisible(!recordLabel->text().isEmpty());
    // While a unit is named, what is said of it; else the lane's units.
    QString last = view.serialNote;
    if (last.isEmpty()) {
        last = tr("%1 passed, %2 failed").arg(view.passed).arg(view.failed);
        if (view.lastFinished.isValid())
            last += view.lastSerial.isEmpty()
                ? tr("; last at %1").arg(view.lastFinished.toString(u"HH:mm:ss"_s))
                : tr("; last %1 at %2").arg(view.lastSerial, view.lastFinished.toString(u"HH:mm:ss"_s));
    }
    lastLabel->setText(last);
    // A serial may look like markup: the tooltip shows it as it is.
    lastLabel->setToolTip(Qt::convertFromPlainText(last));
    // A refused or wanted serial in the record warning's red and weight.
    lastLabel->setPalette(view.serialWarning ? recordLabel->palette() : palette());
    lastLabel->setFont(view.serialWarning ? recordLabel->font() : font());
    startStopButton->setText(view.running ? tr("Stop") : tr("Start"));
    if (summaryChanges)
        emit summaryChanged();
}

void LaneWidget::contextMenuEvent(QContextMenuEvent *event)
{
    // popup(), not exec(): no event loop of the menu's own while lanes run.
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_view.running ? tr("Stop this lane") : tr("Start this lane"), this, &LaneWidget::startStopClicked);
    QAction *edit = menu->addAction(tr("Edit lane..."), this, &LaneWidget::editRequested);
    QAction *remove = menu->addAction(tr("Remove lane"), this, &LaneWidget::removeRequested);
    QAction *details = menu->addAction(tr("Details of the last result..."), this, &LaneWidget::detailsRequested);
    details->setEnabled(!m_view.causes.isEmpty());
    edit->setEnabled(m_view.canEdit);
    remove->setEnabled(m_view.canEdit);
    menu->popup(event->globalPos());
    event->accept();
}

void LaneWidget::mouseReleaseEvent(QMouseEvent *event)
{
    // A click on the word and its cause: the whole cause, one click away.
    if (event->button() == Qt::LeftButton && status->geometry().contains(event->position().toPoint())
        && !m_view.causes.isEmpty())
        emit detailsRequested();
    QFrame::mouseReleaseEvent(event);
}

void LaneWidget::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The word's own clicks open its details, not the editor.
    if (m_view.canEdit && !status->geometry().contains(event->position().toPoint()))
        emit editRequested();
    QFrame::mouseDoubleClickEvent(event);
}
