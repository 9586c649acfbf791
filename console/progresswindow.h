#pragma once

#include <QHash>
#include <QWidget>

class QLabel;
class QProgressBar;

// The small window the upload shows while it runs: a message above a bar from 0 to 100. It has
// no owner, no caption text and no buttons, and the operator cannot close it by hand.
class ProgressWindow : public QWidget {
    Q_OBJECT

public:
    ProgressWindow();

    // Just below the main window (so it covers neither the status lights nor the receive line),
    // kept on the screen.
    void placeBy(const QWidget *mainWindow);

    void setMessage(const QString &text);
    float value() const { return m_value; }
    void setValue(float value);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    const QHash<QString, QWidget *> m_controls;
    QLabel *const m_messageLabel;
    QProgressBar *const m_progressBar;
    float m_value = 0;
};
