// tavix-updater-sim: the firmware updater on simulated calculators, with the
// same command line as the product. The calculators come from TAVIX_SIM_*;
// TAVIX_SIM_CLOCK_SCALE=N runs every pause of the program N times faster;
// TAVIX_SIM_INSTANCE names a single-instance guard of its own (the suites');
// TAVIX_SIM_CLOSE_ON=TEXT closes the window as a person would (Cancel or
// Stop while it shows, then the close box) once an echoed line starts with
// TEXT; with a cart, "cart: N served" is echoed once every calculator has
// been unplugged again.
// What the window shows is echoed on standard output, a "field: value" line
// per change, and the calculators are saved into TAVIX_SIM_OUTPUT when the
// session ends and again when the program ends. With TAVIX_SIM_CART the
// calculators come and go as a cart's through a hub (emulator/cart.h): each
// is saved when it is unplugged, and those still attached at the end.
#include "app/updater_main.h"

#include "emulator/cart.h"
#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/disk_system.h"
#include "session/exit_codes.h"
#include "ui/update_dialog.h"

#include <QObject>
#include <QPushButton>
#include <QTimer>
#include <QString>

#include <memory>
#include <string>

namespace {

bool save(const emulator::EmulatedDiskSystem &disks, const std::string &folder)
{
    if (folder.empty())
        return true;
    std::string error;
    if (emulator::saveCalculators(disks.disks(), folder, &error))
        return true;
    platform::writeErr(platform::fromUtf8("tavix-updater-sim: " + error + "\n"));
    return false;
}

// What a person does to end the session: Cancel (or Stop) while the button
// shows it (never the countdown's Start), then the close box if the window
// is still there. Queued: the person
// acts after the window has drawn its line.
void closeLikeAPerson(CCalcFWUpdateMSDialog *dialog)
{
    QTimer::singleShot(0, dialog, [dialog] {
        auto *button = dialog->findChild<QPushButton *>(QStringLiteral("actionButton"));
        if (button != nullptr && button->isVisible() && button->isEnabled() && !dialog->actionStarts())
            button->click();
        if (dialog->isVisible())
            dialog->close();
    });
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    emulator::SimulationSettings settings;
    if (!emulator::simulationSettingsFromEnvironment(&settings, &error)) {
        platform::writeErr(platform::fromUtf8("tavix-updater-sim: " + error + "\n"));
        return exit_code::kUsage;
    }

    emulator::EmulatedDiskSystem disks;
    std::unique_ptr<emulator::Cart> cart;
    bool cartServed = false;
    bool saved = true;
    UpdaterHooks hooks;
    hooks.echoDisplay = true;
    hooks.instanceName = QString::fromStdString(settings.instanceName);
    hooks.prepare = [&] {
        // Only the copy that holds the guard (or lists the disks) attaches
        // calculators.
        if (settings.clockScale > 1)
            platform::useScaledClock(settings.clockScale);
        if (settings.cart.total != 0) {
            cart = std::make_unique<emulator::Cart>(disks, settings.calculators, settings.cart.ports,
                                                    settings.cart.swapMs, settings.outputFolder);
            cart->start();
        } else {
            for (const emulator::Config &config : settings.calculators)
                disks.attach(config);
        }
        platform::installDiskSystem(&disks);
        return 0;
    };
    hooks.dialogCreated = [&](CCalcFWUpdateMSDialog *dialog) {
        QObject::connect(dialog, &CCalcFWUpdateMSDialog::sessionEnded, dialog,
                         [&] { save(disks, settings.outputFolder); });
        if (cart) {
            // The teacher's hands: every 20 ms (real time) what is due by the
            // program's clock is done: a calculator seen at its end of session
            // is unplugged swap-ms later and the next one plugged in.
            auto *hands = new QTimer(dialog);
            QObject::connect(hands, &QTimer::timeout, dialog, [&, dialog] {
                std::string reason;
                if (!cart->poll(&reason))
                    platform::writeErr(platform::fromUtf8("tavix-updater-sim: " + reason + "\n"));
                // The cart is through: said once, on the echo's way out.
                if (!cartServed && cart->finished()) {
                    cartServed = true;
                    const std::string line = "cart: " + std::to_string(cart->servedCount()) + " served";
                    platform::writeOut(platform::fromUtf8(line + "\n"));
                    if (!settings.closeOn.empty() && line.rfind(settings.closeOn, 0) == 0)
                        closeLikeAPerson(dialog);
                }
            });
            hands->start(20);
            // The teacher reads the window: a calculator given up is pulled out too.
            QObject::connect(dialog, &CCalcFWUpdateMSDialog::calculatorsShown, dialog,
                             [&](const QVector<CalculatorView> &rows) {
                                 for (const CalculatorView &row : rows)
                                     if (row.state == CalculatorView::GivenUp && row.attached)
                                         cart->givenUpNamed(row.identity.toStdString());
                             });
        }
        if (settings.closeOn.empty())
            return;
        const QString closeOn = QString::fromStdString(settings.closeOn);
        QObject::connect(dialog, &CCalcFWUpdateMSDialog::displayChanged, dialog,
                         [dialog, closeOn](const QString &field, const QString &value) {
                             if ((field + QStringLiteral(": ") + value).startsWith(closeOn))
                                 closeLikeAPerson(dialog);
                         });
    };
    // Images that could not be saved are this program's own failure: a
    // script that checks them must not find the session's code instead.
    hooks.finished = [&](int code) {
        saved = save(disks, settings.outputFolder);
        return saved ? code : exit_code::kImagesLost;
    };

    const int result = runUpdater(argc, argv, hooks);
    platform::installDiskSystem(nullptr);
    return result;
}
