#pragma once

#include <QByteArray>
#include <QWidget>

#include "link/linktest.h"

class Class1;
class MessagePresenter;
class PortList;
class QLabel;
class QLineEdit;
class QPushButton;

// The settings panel: the port box, "Link Test" and the box that shows the
// instrument's last reply.
class Set_Form : public QWidget
{
    Q_OBJECT

public:
    Set_Form(Class1 *holder, MessagePresenter *messages, QWidget *parent = nullptr);

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
    void handleTestFinished(LinkTest::Result result, const QByteArray &reply);

    MessagePresenter *m_messages;
    LinkTest *m_linkTest;
};
