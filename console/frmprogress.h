#pragma once

#include <QHash>
#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;

// The small window the upload shows while it runs: a message above a bar from 0 to 100. It has
// no owner, no caption text and no buttons, and the operator cannot close it by hand.
class frmProgress : public QWidget {
    Q_OBJECT

public:
    frmProgress();

    void setMessage(const QString &text);
    float value() const { return m_value; }
    void setValue(float value);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    const QHash<QString, QWidget *> m_controls;
    QLabel *const m_lblMsg;
    QProgressBar *const m_pbar;
    float m_value = 0;
};

// The upload's progress display: creates frmProgress on first show, placed just below the main
// window (so it covers neither the status lights nor the receive line) and kept on the screen,
// and destroys it on close. Calls between a close and the next show change nothing.
class ProgressWindow {
public:
    explicit ProgressWindow(QWidget *mainWindow);
    ~ProgressWindow();

    ProgressWindow(const ProgressWindow &) = delete;
    ProgressWindow &operator=(const ProgressWindow &) = delete;

    void show();
    void setMessage(const QString &text);
    float value() const;
    void setValue(float value);
    void close();

    frmProgress *window() const { return m_window; }

private:
    void place();

    QWidget *const m_mainWindow;
    QPointer<frmProgress> m_window;
};
