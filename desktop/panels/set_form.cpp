#include "desktop/panels/set_form.h"

#include "desktop/panels/portlist.h"
#include "core/common/printablebytes.h"
#include "desktop/widgets/colours.h"
#include "desktop/widgets/messagepresenter.h"
#include "desktop/widgets/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

Set_Form::Set_Form(LinkTest *linkTest, MessagePresenter *messages, QWidget *parent)
    : QWidget(parent)
    , m_messages(messages)
    , m_linkTest(linkTest)
{
    setObjectName(QStringLiteral("Set_Form"));
    setWindowTitle(QStringLiteral("Form1"));
    resize(Twips::toPixelsX(this, 5310), Twips::toPixelsY(this, 915));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, fromPlatformColour(PendingColour));
    setPalette(pal);
    setAutoFillBackground(true);

    COM_TEXT = new QLabel(QStringLiteral("COM PORT :"), this);
    COM_TEXT->setObjectName(QStringLiteral("COM_TEXT"));
    COM_TEXT->setFont(arialFont(9.75, true));
    Twips::place(COM_TEXT, 120, 360, 1335, 255);

    COM_PORT_LIST = new PortList(this);
    COM_PORT_LIST->setObjectName(QStringLiteral("COM_PORT_LIST"));
    Twips::place(COM_PORT_LIST, 1320, 360, 1095, 300);

    TSET = new QPushButton(QStringLiteral("Link Test"), this);
    TSET->setObjectName(QStringLiteral("TSET"));
    TSET->setFont(arialFont(9.75, true));
    Twips::place(TSET, 2520, 320, 1215, 375);

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Twips::place(Text1, 3840, 320, 1215, 375);

    // The port box is narrow too: a long device path shows whole in its tooltip.
    connect(COM_PORT_LIST, &QComboBox::editTextChanged, COM_PORT_LIST,
            [this](const QString &text) { COM_PORT_LIST->setToolTip(text); });

    QWidget::setTabOrder(COM_PORT_LIST, Text1);
    QWidget::setTabOrder(Text1, TSET);

    connect(TSET, &QPushButton::clicked, this, &Set_Form::handleTestClicked);
    connect(m_linkTest, &LinkTest::finished, this, &Set_Form::handleTestFinished);
    load();
}

void Set_Form::load()
{
    COM_PORT_LIST->addComItems();
    COM_PORT_LIST->setCurrentIndex(0);
    Text1->setText(QStringLiteral("TEST"));
}

QString Set_Form::portText() const
{
    return COM_PORT_LIST->currentText();
}

void Set_Form::showReply(const QByteArray &reply)
{
    // The box is narrow and a reply may be long: a long one shows its start
    // and its length, and the tooltip holds the whole of it.
    Text1->setText(reply.size() <= kShownLength ? QString::fromLatin1(reply) : shownBytes(reply));
    Text1->setToolTip(QString::fromLatin1(printableBytes(reply)));
}

void Set_Form::handleTestClicked()
{
    // A second click while the reply is awaited starts nothing.
    m_linkTest->start(portText());
}

void Set_Form::handleTestFinished(const LinkTestOutcome &outcome)
{
    switch (outcome.kind) {
    case LinkTestOutcome::Kind::Reply:
        showReply(outcome.reply);
        return;
    case LinkTestOutcome::Kind::PortAboveLimit:
    case LinkTestOutcome::Kind::Failed:
    case LinkTestOutcome::Kind::Interrupted:
        m_messages->show(this, outcome.message(), outcome.causes());
        return;
    case LinkTestOutcome::Kind::Cancelled:
        return; // an update took the link over; it reports for itself
    }
}
