#include "ui/CloseSignals.h"

#include "services/ProcessSignals.h"
#include "ui/main.h"

void HandleCloseSignals()
{
    SignalHandling how;
    how.abandonWaits = true;
    how.secondEndsAtOnce = true;
    HandleProcessSignals(how, [](int) {
        if (Form1)
            Form1->close();
    });
}

void StopHandlingCloseSignals() { StopHandlingProcessSignals(); }
