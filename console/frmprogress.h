#pragma once

#include <QHash>
#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;

// The small window the upload shows while it runs: a message above a bar from 0 to 100. It has
// no owner, no caption text and no buttons, and the operator cannot close it by hand.
class ProgressWindow : public QWidget {
    Q_OBJECT

public:
    ProgressWindow();

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

// The upload's progress display: creates ProgressWindow on first show, placed just below the main
// window (so it covers neither the status lights nor the receive line) and kept on the screen,
// and destroys it on close. Calls between a close and the next show change nothing.
class UploadProgress {
public:
    explicit UploadProgress(QWidget *mainWindow);
    ~UploadProgress();

    UploadProgress(const UploadProgress &) = delete;
    UploadProgress &operator=(const UploadProgress &) = delete;

    void show();
    void setMessage(const QString &text);
    float value() const;
    void setValue(float value);
    void close();

    ProgressWindow *window() const { return m_window; }

private:
    void place();

    QWidget *const m_mainWindow;
    QPointer<ProgressWindow> m_window;
};
