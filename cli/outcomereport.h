#pragma once

#include "update/updatesequence.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the end of an update means for whoever ran it: the exit code, the
// product's own message with the causes a technician needs (the device and
// its error, the line and what the instrument answered, whether the
// instrument may now be erased), and the same as the JSON "result" event.
class OutcomeReport
{
public:
    // What the front end knows beyond the outcome itself.
    struct Context
    {
        QString fileName;
        QString portText;
        QString device;           // the device the link used, if any
        int totalLines = 0;       // lines in the image, 0 when it was not read
        QByteArray failedLineText;  // the prepared line that failed, if any
        QByteArray endReply;      // the answer to the end line, if it came
    };

    OutcomeReport(const UpdateSequence::Outcome &outcome, Context context);

    int exitCode() const;
    QStringList causes() const;
    // The message on the first line, then the causes indented below it.
    QByteArray text() const;
    QJsonObject toJson() const;

    // The kind as it appears in JSON: "write-refused", ...
    static QString kindName(UpdateSequence::Outcome::Kind kind);
    static QString linkErrorName(SerialLink::Error::Kind kind);

private:
    QString fileCause() const;
    QString lineText() const;

    UpdateSequence::Outcome m_outcome;
    Context m_context;
};
