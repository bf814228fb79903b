// Signing a written report: the signature journalled, the report written
// again with every signature it has in the block on its last page (still
// PDF/A-1b), the new version's SHA-256 journalled so that --verify-report
// knows it. Free functions, so that tests sign without a window.
#pragma once

#include <QString>

#include <memory>

#include "report/ReportPdf.h"
#include "services/Signature.h"

// A report as it was written last: how, and what came of it.
struct WrittenReport {
    ReportRequest request;
    QString number;
    QString sha256;
};

// The desktop's signer: PAM's service "calvetra"; the signatures go to the
// recorder's journal while the desktop is attached to one, else to the
// desktop's own journal (ownJournal: always there, for a review of it).
Signer& DesktopSigner(bool ownJournal = false);
// Tests put a signer of their own (null: the desktop's again).
void SetDesktopSignerForTests(std::unique_ptr<Signer> signer);

// Journals the version just written (its SHA-256, its signatures' count).
void JournalReportWritten(const WrittenReport& report, int signatures);
// Signs the report as login with the password; on success the report is
// written again in its place and *report is its new version. False with the
// reason in *message (nothing signed, or signed and not written again).
bool SignReport(Signer& signer, const QString& login, WrittenReport* report, SignatureMeaning meaning,
                const QString& password, QString* message);
