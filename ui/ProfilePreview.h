// A small picture of the program in the table: temperature and humidity over
// the whole run, with its total duration.
#pragma once

#include <QWidget>

#include "control/Checks.h"

class TProfilePreview : public QWidget {
    Q_OBJECT
public:
    explicit TProfilePreview(QWidget* parent = nullptr);
    // Shown only for a program that passes the program table check.
    void SetProgram(const ProgramTexts& texts);
    QString DurationCaption() const { return m_caption; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    ProgramTexts m_texts;
    bool m_valid = false;
    QString m_caption;
};
