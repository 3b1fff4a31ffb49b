#pragma once

#include "core/common/message.h"
#include "core/firmware/firmwareimage.h"
#include "core/update/imageloader.h"
#include "core/update/updateoutcome.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

// The image every lane sends: read and checked once, off the event loop,
// and compared with the SHA-256 of the released one when the operator gives
// it. Says what to show of it, and why no lane may start with it.
class StationImage : public QObject
{
    Q_OBJECT

public:
    enum class State { None, Reading, Refused, Ready };

    explicit StationImage(QObject *parent = nullptr);

    // Reads this file (made absolute); loaded() once it has been.
    void choose(const QString &path);
    // The operator's text for the released image's SHA-256.
    void setExpected(const QString &text) { m_expected = text; }

    State state() const { return m_state; }
    const FirmwareImage &image() const { return m_image; }
    QString path() const { return m_path; }

    // The file's name and whole path, shown beside the button.
    QString nameText() const;
    QString pathText() const;
    // What it holds, or why it was refused; empty before one is chosen.
    QString summaryText() const;
    QString sha256Text() const;
    // How the released SHA-256 compares, and in which colour.
    struct Comparison
    {
        QString text;
        QString style;
    };
    Comparison comparison() const;

    // Why the image cannot be sent, as an outcome of this kind: none chosen
    // (NoFile) or refused (FileError); none while it is read or when ready.
    std::optional<UpdateOutcome> refusal() const;
    // Ready but not the released one, or the released SHA-256 given is no
    // hash: the message and its causes.
    struct Mismatch
    {
        Message message;
        QStringList causes;
    };
    std::optional<Mismatch> mismatch() const;

signals:
    // Read: ready or refused.
    void loaded();

private:
    void handleLoaded(const ImageLoader::Result &result);
    QString actualHash() const;

    ImageLoader m_loader;
    State m_state = State::None;
    FirmwareImage m_image;
    ImageProblem m_problem;
    QString m_path;
    QString m_expected;
};
