#pragma once

// What the desktop program's tests look at on the frame.
#include "desktop/main_mdi.h"
#include "desktop/panels/main_form.h"
#include "desktop/panels/portlist.h"
#include "desktop/panels/set_form.h"

#include <QList>
#include <QPushButton>
#include <QWidget>

namespace DesktopSupport {

// The five controls an update locks, as the user sees them: upload, file
// and QUIT on the main panel, the link test button and the port box.
inline QList<QWidget *> updateLockSet(const Main_MDI &frame)
{
    const Main_Form *m = frame.mainForm();
    const Set_Form *s = frame.setForm();
    return {m->Doownload_BUTT, m->OPEN_BUTT, m->QUIT_BUTT, s->TSET, s->COM_PORT_LIST};
}

} // namespace DesktopSupport
