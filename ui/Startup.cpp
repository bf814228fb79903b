#include "ui/Startup.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QTranslator>
#include <csignal>

#include "ui/Unit3.h"
#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/LineOwner.h"
#include "monitoring/LineMonitor.h"
#include "monitoring/Monitoring.h"
#include "ui/AlarmCenter.h"
#include "monitoring/PortSettings.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/DataLog.h"
#include "ui/LineMonitorWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {
bool g_closed = false;
void SubstituteFonts()
{
    // Metric-compatible faces from fonts-liberation keep the captions inside
    // the boxes they were laid out for.
    QFont::insertSubstitution(QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"));
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"));
}
QTranslator& QtTranslator()
{
    static QTranslator translator;
    return translator;
}
}  // namespace

bool InstallQtTranslations()
{
    QTranslator& translator = QtTranslator();
    if (translator.isEmpty() &&
        !translator.load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    // Installing it twice would only move it to the front.
    QCoreApplication::installTranslator(&translator);
    return true;
}

void RemoveQtTranslations() { QCoreApplication::removeTranslator(&QtTranslator()); }

void CreateApplicationWindows(bool show)
{
    ResetMonitoringState();
    // Under a file size limit a log write past it must fail with EFBIG and be
    // reported by the data log, not end the program by the signal's default.
    std::signal(SIGXFSZ, SIG_IGN);
    // The title, for the error display's caption. No display name: on X11 Qt
    // would append it to every window's caption.
    QApplication::setApplicationName(QStringLiteral("Calvetra"));
    // With the application name, where QSettings keeps the operator's choices.
    QApplication::setOrganizationName(QStringLiteral("Calvetra"));
    ApplyPortMapping(LoadPortSettings());
    QApplication::setQuitOnLastWindowClosed(false);
    // Every start waits its full waits, even after a closing in this process.
    ResumeWaits();
    g_closed = false;
    SubstituteFonts();
    // The journal's kept records raise the alarm and fill the window.
    SetJournalStateHook(FollowJournalState);
    // Before the main window, which puts its marker in the bottom strip.
    AlarmCenter = new TAlarmCenter;
    Form1 = new TForm1;
    if (show)
        Form1->show();
    Form3 = new TForm3;
    Form5 = new TForm5;
    FormChart = new TChartWindow;
    FormLineMonitor = new TLineMonitorWindow;
    FormJournal = new TJournalWindow;
    // The journal lives beside the data logs; a folder given before (tests)
    // stays. Its chain is checked before any action can be taken.
    if (JournalFolder().isEmpty())
        SetJournalFolder(LogFolder());
    Guarded([] {
        QString aside;
        const JournalCheck check = CheckJournalAtStart(JournalFolder(), &aside);
        Form1->ShowJournalState(JournalBreakMessage(check, aside));
    });
    FormOverview = new TOverviewWindow;
    QObject::connect(Form1, &TForm1::ChamberFound, FormOverview, &TOverviewWindow::Watch);
    QObject::connect(FormOverview, &TOverviewWindow::ChamberClicked, Form1, &TForm1::SelectChamber);
    QObject::connect(FormOverview, &TOverviewWindow::LineChamberClicked, Form1,
                     [](const QString& line, int address) { Guarded([&] { Form1->PickLineChamber(line, address); }); });
    // A start the chamber confirmed arms its deviation alarms; a confirmed stop disarms them.
    QObject::connect(Form3, &TForm3::CommandConfirmed, AlarmCenter, [](int address, ConfirmedCommand what) {
        Guarded([&] { AlarmCenter->CommandConfirmed(address, what != ConfirmedCommand::Stop); });
    });
    QObject::connect(FormOverview, &TOverviewWindow::SelectedRead, Form1,
                     [](const OverviewRead& read) { Guarded([&read] { Form1->TakeSelectedRead(read); }); });
    DesktopLine().Start();
    StartLineRecording();
}

void MarkApplicationClosed() { g_closed = true; }

bool ApplicationClosed() { return g_closed; }

void DestroyApplicationWindows()
{
    StopLineRecording();
    delete FormJournal;
    FormJournal = nullptr;
    // Its reading thread ends before the port goes.
    delete FormOverview;
    FormOverview = nullptr;
    delete FormLineMonitor;
    FormLineMonitor = nullptr;
    delete FormChart;
    FormChart = nullptr;
    delete Form5;
    Form5 = nullptr;
    delete Form3;
    Form3 = nullptr;
    delete Form1;
    Form1 = nullptr;
    delete AlarmCenter;
    AlarmCenter = nullptr;
    OnLine(ClosePort);
    // The next set of windows starts the line anew, with nothing left queued.
    StopDesktopLine();
}
