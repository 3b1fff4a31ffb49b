#pragma once

#include "ptypeer.h"

#include <QByteArray>
#include <QMap>
#include <QTimer>

// An instrument on a pseudo-terminal, as the update sees it: answers "KILL"
// and each firmware line, with faults switched on per test.
class FakeInstrument : public PtyPeer
{
public:
    enum class Erase { Acknowledge, Refuse, Silent, HangUp };

    Erase erase = Erase::Acknowledge;
    int eraseDelayMs = 0; // time before the erase answer
    int refuseLine = 0; // answer "NG*" to this line (1-based after KILL)
    int silentLine = 0; // never answer this line
    int garbageLine = 0; // answer bytes without '*'
    int hangUpAtLine = 0; // hang up on receiving this line
    QByteArray endReply = QByteArrayLiteral("END*");
    // Replaces the erase answer ("*" or "NG*"), sent in these pieces, 5 ms apart.
    QList<QByteArray> eraseReplyPieces;
    // Replaces the answer to one line (1-based after KILL).
    QMap<int, QByteArray> lineReplies;
    QByteArray arcReply = QByteArrayLiteral("SIM-1*");
    int arcDelayMs = 0; // time before the link test's answer
    int linesSinceKill = 0;
    int ackDelayMs = 0; // instrument time before each line's answer
    // A spare "*" this many ms after the answer to a line (1-based after
    // KILL; 0: the erase).
    QMap<int, int> spareAfterLine;

    FakeInstrument()
    {
        setCommandHandler([this](const QByteArray &command) { answer(command); });
    }

    // The commands received after the last "KILL", in order.
    QList<QByteArray> linesAfterKill() const
    {
        QList<QByteArray> lines;
        for (const Command &c : commands()) {
            if (c.bytes == "KILL")
                lines.clear();
            else
                lines.append(c.bytes);
        }
        return lines;
    }
    int killCount() const
    {
        int n = 0;
        for (const Command &c : commands())
            n += c.bytes == "KILL";
        return n;
    }

private:
    void answer(const QByteArray &command)
    {
        if (command == "ARC*")
            return later(arcDelayMs, arcReply);
        if (command == "KILL") {
            linesSinceKill = 0;
            if (spareAfterLine.contains(0) && erase == Erase::Acknowledge)
                later(eraseDelayMs + spareAfterLine.value(0), QByteArrayLiteral("*"));
            switch (erase) {
            case Erase::Acknowledge:
                if (!eraseReplyPieces.isEmpty()) {
                    for (int i = 0; i < eraseReplyPieces.size(); ++i)
                        later(eraseDelayMs + 5 * i, eraseReplyPieces.at(i));
                    return;
                }
                return later(eraseDelayMs, QByteArrayLiteral("*"));
            case Erase::Refuse:
                return later(eraseDelayMs, QByteArrayLiteral("NG*"));
            case Erase::Silent:
                return;
            case Erase::HangUp:
                return hangUp();
            }
        }
        ++linesSinceKill;
        if (linesSinceKill == hangUpAtLine)
            return hangUp();
        if (linesSinceKill == silentLine)
            return;
        later(ackDelayMs, lineAnswer(command));
        if (spareAfterLine.contains(linesSinceKill))
            later(ackDelayMs + spareAfterLine.value(linesSinceKill), QByteArrayLiteral("*"));
    }
    QByteArray lineAnswer(const QByteArray &command) const
    {
        if (linesSinceKill == refuseLine)
            return QByteArrayLiteral("NG*");
        if (lineReplies.contains(linesSinceKill))
            return lineReplies.value(linesSinceKill);
        if (linesSinceKill == garbageLine)
            return QByteArrayLiteral("\x15?#");
        if (command == "q" || command == "Q")
            return endReply;
        return QByteArrayLiteral("*");
    }
    void later(int ms, const QByteArray &bytes)
    {
        if (ms <= 0)
            return send(bytes);
        // Precise: a coarse timer may join two answers a few ms apart into one write.
        QTimer::singleShot(ms, Qt::PreciseTimer, this, [this, bytes] { send(bytes); });
    }
};
