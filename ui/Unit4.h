// The input error window: the allowed values of every kind of input, shown
// when a check of the control window fails.
#pragma once

#include <QLabel>
#include <QWidget>

class TForm4 : public QWidget {
    Q_OBJECT
public:
    explicit TForm4(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
};

// Creates a new error window (owned by owner, which may be null), captions
// it, places it at 400, 400 with the outer size 650 x 200 and shows it
// without waiting. Windows of earlier failures are left as they are.
TForm4* RaiseErrorWindow(QWidget* owner);
