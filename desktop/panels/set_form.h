#pragma once

#include <QByteArray>
#include <QWidget>

#include "core/link/linktest.h"

class MessagePresenter;
class PortList;
class QLabel;
class QLineEdit;
class QPushButton;

// The settings panel: the port box, "Link Test" and the box that shows the
// instrument's last reply. The frame hands it the link test to run.
class Set_Form : public QWidget
{
    Q_OBJECT

public:
    Set_Form(LinkTest *linkTest, MessagePresenter *messages, QWidget *parent = nullptr);

    QLabel *COM_TEXT;
    PortList *COM_PORT_LIST;
    QPushButton *TSET;
    QLineEdit *Text1;

    // The port text as typed or chosen.
    QString portText() const;
    // Shows bytes from the instrument in the reply box, byte for byte.
    void showReply(const QByteArray &reply);
    LinkTest *linkTest() const { return m_linkTest; }

private:
    void load();
    void handleTestClicked();
    void handleTestFinished(const LinkTestOutcome &outcome);

    MessagePresenter *m_messages;
    LinkTest *m_linkTest;
};
