#pragma once

#include "panel/PanelController.h"
#include "panel/PanelView.h"

#include <QWidget>

#include <array>

class PanelButton;
class QComboBox;
class QTimer;
class SerialLink;

// The panel's one window. It places the controls, turns each control event into one call of
// the controller, and carries out what the controller asks of it; it decides nothing itself.
class MainWindow : public QWidget, public PanelView
{
    Q_OBJECT

public:
    static constexpr int relayCount = 8;

    explicit MainWindow(SerialLink &link, QWidget *parent = nullptr);
    ~MainWindow() override;

    const PanelController &controller() const { return m_controller; }

    void appendItem(Box box, const QString &text) override;
    void appendItems(Box box, const QStringList &texts) override;
    void setText(Box box, const QString &text) override;
    QString firstItem(Box box) const override;
    void setRepeatTimer(bool enabled) override;
    void focusEmergencyStop() override;
    void showProblem(Box box, const QString &text) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createLabels();
    void fitFont();
    void createFrames();
    void createComboBoxes();
    void createButtons();
    void createRelayGrid();
    void createButtonArrays();
    void orderTabs();

    PanelButton *addButton(const char *name, const QString &caption, const QRect &geometry,
        int tabIndex, const QString &accessibleName, int index = -1);
    QComboBox *box(Box which) const;
    // Calls the operation that a change of the box's text calls.
    void raiseChange(Box which);
    void shutdownOnce();

    PanelController m_controller;
    std::array<QComboBox *, 3> m_boxes{};
    PanelButton *m_emergencyStop = nullptr;
    QTimer *m_repeatTimer = nullptr;
    bool m_shutDown = false;
};
