#include "core/update/updatesequence.h"

#include "core/firmware/firmwareline.h"
#include "core/link/portholder.h"
#include "core/update/runrecord.h"

namespace {
const QByteArray kAcknowledgement = QByteArrayLiteral("*");
const QByteArray kEraseCommand = QByteArrayLiteral("KILL");
// The instrument's refusal; said to the end line, it refuses the image.
const QByteArray kRefusal = QByteArrayLiteral("NG*");
// After the end line's answer the link is watched this share of the reply
// time-out (150 ms of the product's 3 s): a second reply that comes then
// shows that an earlier one was late, so every answer since may have
// belonged to the line before. Bytes a fast instrument sends together
// arrive well within it.
constexpr int kSettleShareOfReplyTimeout = 20;
} // namespace

UpdateSequence::UpdateSequence(SerialLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    // Precise timers: Qt's coarse timers may fire up to 5% early, and the
    // instrument needs its full erase time before the acknowledgement is read
    // and before the first line arrives.
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer2.setTimerType(Qt::PreciseTimer);
    Timer2.setSingleShot(true);
    m_settleTimer.setSingleShot(true);
    connect(&m_settleTimer, &QTimer::timeout, this, &UpdateSequence::handleSettled);
    connect(&Timer1, &QTimer::timeout, this, &UpdateSequence::handleEraseTick);
    connect(&Timer2, &QTimer::timeout, this, &UpdateSequence::handleHandOver);
    connect(m_link, &SerialLink::replyReceived, this, &UpdateSequence::handleReply);
    connect(m_link, &SerialLink::readFailed, this, &UpdateSequence::handleReadFailed);
    connect(m_link, &SerialLink::linkFailed, this, &UpdateSequence::handleLinkFailed);
    connect(m_link, &SerialLink::bytesDiscarded, this, &UpdateSequence::handleDiscarded);
    connect(&m_loader, &ImageLoader::loaded, this, &UpdateSequence::handleLoaded);
}

void UpdateSequence::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void UpdateSequence::start(const QString &fileName, const QString &portText)
{
    // The whole file is read and checked before the instrument is erased: a
    // file that vanished, cannot be read or is no firmware image must not
    // leave an erased instrument behind, and one with nothing to write would
    // erase it and then report success.
    if (!begin(fileName, portText))
        return;
    awaitImage(m_loader);
    m_loader.load(fileName);
}

void UpdateSequence::start(ImageLoader &loader, const QString &fileName, const QString &portText)
{
    if (begin(fileName, portText))
        awaitImage(loader);
}

void UpdateSequence::start(const FirmwareImage &image, const ImageProblem &problem, const QString &fileName,
                           const QString &portText)
{
    if (begin(fileName, portText))
        sendErase(image, problem);
}

void UpdateSequence::awaitImage(ImageLoader &loader)
{
    m_imageConnection = connect(&loader, &ImageLoader::loaded, this, &UpdateSequence::handleLoaded);
}

bool UpdateSequence::begin(const QString &fileName, const QString &portText)
{
    if (m_state != State::Ready)
        return false;
    m_startedAt = QDateTime::currentDateTimeUtc();
    EraseTicks = 0;
    m_count = 0;
    m_eraseSent = false;
    m_resolvedDevice.clear();
    m_awaitingEndReply = false;
    m_settling = false;
    m_awaitingLateAnswer = false;
    m_outOfStep = false;
    m_acknowledged = 0;
    m_endReply = {};
    m_fileName = fileName;
    m_portText = portText;
    m_image = {};
    m_fileProblem = {};
    m_portProblem = {};
    m_discarded = 0;
    emit started();

    if (fileName.isEmpty()) {
        finish(Outcome::Kind::NoFile);
        return false;
    }
    if (portText.isEmpty()) {
        finish(Outcome::Kind::NoPort);
        return false;
    }
    // The image is read, or taken as read already; nothing has been sent.
    setState(State::Loading);
    return true;
}

void UpdateSequence::handleLoaded(const ImageLoader::Result &result)
{
    disconnect(m_imageConnection);
    if (m_state == State::Loading)
        sendErase(result.image, result.problem);
}

void UpdateSequence::sendErase(const FirmwareImage &image, const ImageProblem &problem)
{
    m_fileProblem = problem;
    if (m_fileProblem.refused())
        return finish(Outcome::Kind::FileError);
    m_image = image;
    // A slot may stop the update here (Ctrl-C seen while the file was read):
    // the last moment at which the instrument is still untouched.
    emit imageLoaded(int(std::max<qint64>(m_image.summary().linesInFile, m_image.lineCount())));
    if (m_state == State::Ready)
        return;

    if (!m_link->open(m_portText))
        return finish(Outcome::Kind::PortError);
    m_resolvedDevice = SerialLink::deviceForPortText(m_portText);
    // Another program on the port would take the instrument's answers, and
    // the update would fail half way with an erased instrument.
    const QString device = m_link->deviceName();
    if (const QString holder = otherProcessUsing(device); !holder.isEmpty()) {
        m_link->close();
        m_portProblem = {LinkError::Kind::Busy, device, tr("in use by %1").arg(holder)};
        return finish(Outcome::Kind::PortError);
    }
    // The answer to a command that timed out (a link test a moment ago)
    // may still be on its way, and would be read as the erase's: it is
    // awaited for one reply time-out, and drained, before "KILL" goes out.
    if (m_link->mayAnswerLate()) {
        m_awaitingLateAnswer = true;
        m_link->read();
        return;
    }
    sendKill();
}

void UpdateSequence::sendKill()
{
    if (!m_link->writeCommand(kEraseCommand))
        return finish(Outcome::Kind::PortError);

    m_eraseSent = true;
    emit eraseSent();
    setState(State::Erasing);
    Timer1.start(m_timings.eraseTickInterval);
}

void UpdateSequence::abort(UpdateOutcome::StoppedBy by)
{
    if (m_state == State::Ready)
        return;
    m_stoppedBy = by;
    finish(Outcome::Kind::Interrupted);
    m_stoppedBy = UpdateOutcome::StoppedBy::Signal;
}

void UpdateSequence::handleDiscarded(const QByteArray &start, qint64 count, qint64 replies)
{
    if (m_state == State::Ready || m_state == State::Loading)
        return;
    m_discarded += count;
    // Noise without a '*' answers nothing and does no harm; a whole reply
    // that answered nothing means some command got two, and the answers
    // after it cannot be trusted to be their lines' own. Whoever emitted
    // this is still running: the update ends once it has returned.
    if (replies > 0)
        m_outOfStep = true;
    emit bytesDiscarded(m_state, int(m_count), start, count);
}

void UpdateSequence::handleEraseTick()
{
    if (m_state != State::Erasing)
        return;
    ++EraseTicks;
    emit eraseProgress(EraseTicks, int(qint64(EraseTicks) * 100 / m_timings.eraseTickCount));
    if (EraseTicks < m_timings.eraseTickCount)
        return;
    // The acknowledgement is read once, on the last tick; a '*' that came
    // earlier has waited in the receive buffer.
    Timer1.stop();
    m_link->read();
}

void UpdateSequence::handleHandOver()
{
    if (m_state != State::HandingOver)
        return;
    // Whatever came during the hand-over answers nothing; dropped now, it is
    // told as the hand-over's.
    m_link->discardPending();
    if (m_outOfStep)
        return finish(Outcome::Kind::OutOfStep);
    setState(State::Writing);
    m_count = 0;
    sendNextLine();
}

void UpdateSequence::sendNextLine()
{
    const qsizetype total = m_image.lineCount();
    if (m_count == total)
        return finish(Outcome::Kind::Success); // the file had no end line

    // Told as following the answer to the line before.
    m_link->discardPending();
    if (m_outOfStep)
        return finish(Outcome::Kind::OutOfStep);
    const QByteArray line = m_image.line(m_count);
    ++m_count;
    if (!m_link->writeCommand(line)) {
        if (m_state == State::Writing) // a link failure may have ended the update already
            finish(Outcome::Kind::WriteFailed);
        return;
    }
    // The write bar shows the share of the file's lines, those after the end
    // line included. Its value has always been stored in single precision;
    // front ends that show it with decimals show that value.
    const qint64 lines = std::max<qint64>(m_image.summary().linesInFile, total);
    const double percent = double(m_count) / double(lines) * 100.0;
    emit lineSent(int(m_count), int(lines), double(float(percent)), line);
    m_awaitingEndReply = isEndLine(line);
    m_link->read();
}

void UpdateSequence::handleReply(const QByteArray &reply)
{
    if (m_state == State::Loading && m_awaitingLateAnswer) {
        // Told as dropped before the erase, with whatever came beside it.
        m_awaitingLateAnswer = false;
        m_discarded += reply.size();
        emit bytesDiscarded(m_state, 0, reply, reply.size());
        m_link->discardPending();
        return sendKill();
    }
    if (m_state == State::Erasing || m_state == State::Writing) {
        // A spare reply came in the same read as this one, or after the end
        // line's answer.
        if (m_settling)
            return finish(Outcome::Kind::OutOfStep, reply);
        if (m_outOfStep) {
            if (m_state == State::Writing && reply == kAcknowledgement)
                ++m_acknowledged;
            return finish(Outcome::Kind::OutOfStep, reply);
        }
    }
    switch (m_state) {
    case State::Erasing:
        if (reply != kAcknowledgement)
            return finish(Outcome::Kind::EraseRefused, reply);
        emit eraseAcknowledged();
        setState(State::HandingOver);
        Timer2.start(m_timings.handOverDelay);
        return;
    case State::Writing:
        if (m_awaitingEndReply) {
            // The end line's answer is shown, and judged once the link has
            // stayed quiet a moment: a reply after it would show that this
            // one, refusal or not, belonged to an earlier line.
            m_endReply = reply;
            emit endLineReply(reply);
            return settle();
        }
        if (reply != kAcknowledgement)
            return finish(Outcome::Kind::WriteRefused, reply);
        ++m_acknowledged;
        emit lineAcknowledged(int(m_count));
        sendNextLine();
        return;
    case State::Ready:
    case State::Loading:
    case State::HandingOver:
        return; // a reply nobody asked for (the link test's, or a stray one)
    }
}

void UpdateSequence::settle()
{
    m_settling = true;
    // Read on: a reply now is one too many.
    m_link->read();
    m_settleTimer.start(std::max(m_link->readTimeout() / kSettleShareOfReplyTimeout, std::chrono::milliseconds(1)));
}

void UpdateSequence::handleSettled()
{
    if (!m_settling)
        return;
    m_link->cancelRead();
    m_link->discardPending();
    endSettled();
}

void UpdateSequence::endSettled()
{
    if (m_outOfStep)
        return finish(Outcome::Kind::OutOfStep);
    if (m_endReply == kRefusal)
        return finish(Outcome::Kind::WriteRefused, m_endReply);
    ++m_acknowledged;
    emit lineAcknowledged(int(m_count));
    finish(Outcome::Kind::Success);
}

void UpdateSequence::handleReadFailed()
{
    if (m_state == State::Loading && m_awaitingLateAnswer) {
        // Quiet for a whole time-out: nothing more is on its way. Anything
        // else (a hang-up, a flood) and the instrument is left untouched.
        m_awaitingLateAnswer = false;
        if (m_link->error().kind == LinkError::Kind::Timeout)
            return sendKill();
        return finish(Outcome::Kind::PortError);
    }
    if (m_settling) {
        // More bytes than any reply after the end line's answer: a flood
        // that may hold replies. A time-out cannot come before the settle
        // timer; a hang-up is handled as a link failure.
        if (m_link->error().kind == LinkError::Kind::ReplyTooLong)
            finish(Outcome::Kind::OutOfStep);
        return;
    }
    if (m_state == State::Erasing)
        finish(Outcome::Kind::EraseFailed);
    else if (m_state == State::Writing)
        finish(Outcome::Kind::WriteFailed);
}

void UpdateSequence::handleLinkFailed()
{
    // Reported once: finish() returns to Ready, and the read failure that
    // follows a link failure then finds nothing running.
    if (m_settling) {
        // The end line was answered: an instrument that restarts into its
        // new firmware may well drop the line now.
        endSettled();
        return;
    }
    if (m_state == State::Erasing)
        finish(Outcome::Kind::EraseFailed);
    else if (m_state == State::HandingOver || m_state == State::Writing)
        finish(Outcome::Kind::WriteFailed);
}

void UpdateSequence::finish(Outcome::Kind kind, const QByteArray &reply)
{
    Timer1.stop();
    Timer2.stop();
    m_settleTimer.stop();
    m_awaitingLateAnswer = false;
    const bool settled = std::exchange(m_settling, false);
    if (m_state != State::Ready)
        m_link->cancelRead();
    if (m_state == State::Loading) {
        // A shared loader's reading goes on for the others.
        disconnect(m_imageConnection);
        m_loader.cancel();
    }

    Outcome outcome = outcomeFor(kind);
    outcome.eraseSent = m_eraseSent;
    outcome.reply = reply;
    outcome.endReply = m_endReply;
    outcome.imageWarning = m_image.summary().endRecordWarning();
    outcome.fileName = m_fileName;
    outcome.portText = m_portText;
    outcome.device = m_link->deviceName();
    outcome.resolvedDevice = m_resolvedDevice;
    outcome.linesTotal = int(m_image.lineCount());
    outcome.bytesDiscarded = m_discarded;
    outcome.earlier = m_earlier;
    if (kind == Outcome::Kind::Interrupted)
        outcome.stoppedBy = m_stoppedBy;
    if (kind == Outcome::Kind::FileError)
        outcome.fileProblem = m_fileProblem;
    const bool lineFailed = kind == Outcome::Kind::WriteRefused || kind == Outcome::Kind::WriteFailed
        || (kind == Outcome::Kind::Interrupted && m_state == State::Writing && !settled);
    if (m_state == State::Writing) {
        outcome.linesAcknowledged = int(m_acknowledged);
        outcome.failedLine = lineFailed ? int(m_count) : 0;
        if (outcome.failedLine > 0)
            outcome.failedLineText = m_image.line(m_count - 1);
    }
    // Replies out of step: the last line whose answer was taken is where
    // the doubt begins (0: the erase's answer).
    if (kind == Outcome::Kind::OutOfStep)
        outcome.outOfStepAfter = m_state == State::Writing ? int(m_acknowledged) : 0;
    if (kind == Outcome::Kind::PortError || kind == Outcome::Kind::EraseFailed || kind == Outcome::Kind::WriteFailed)
        outcome.linkError = m_portProblem.kind != LinkError::Kind::None ? m_portProblem : m_link->error();
    // Remembered for the next update on this link: it may stop before
    // "KILL" and must not then call the instrument untouched.
    if (outcome.succeeded())
        m_earlier = {};
    else if (m_eraseSent)
        m_earlier = {true, outcome.linesAcknowledged, m_state == State::Writing ? outcome.linesTotal : 0};
    if (m_record)
        m_record->appendOutcome(outcome,
                                RunRecord::Context::of(m_image.summary(), m_startedAt, QDateTime::currentDateTimeUtc(),
                                                       m_recordExtra));
    setState(State::Ready);
    emit finished(outcome);
}

UpdateSequence::Outcome UpdateSequence::outcomeFor(Outcome::Kind kind)
{
    Outcome o;
    o.kind = kind;
    o.message = Outcome::messageFor(kind);
    return o;
}
