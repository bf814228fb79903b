// The port drop-down: tells its owner before the list opens, so that a
// device plugged in after start is there.
#pragma once

#include <QComboBox>
#include <functional>

class TPortComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;

    void showPopup() override
    {
        if (beforePopup)
            beforePopup();
        // The entries are wider than the closed box.
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 24);
        QComboBox::showPopup();
    }
};
