<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation>Starten</translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation>Warte auf Verbindung...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>Keine Updates verfügbar</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>Firmware-Update</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>Update abgebrochen</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>Firmware</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>Nach Update-Dateien suchen</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>Nicht aktualisiert: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (%2 von %3 Dateien fehlen)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>%1 von %2 Rechnern aktualisiert</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>wartet</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>Datei %1 von %2: %3 %</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>aktualisiert</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>neuer Versuch (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>aufgegeben (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>abgesteckt</translation>
    </message>
    <message id="754">
        <source>The calculator could not be opened: this user may not write to it. Install the updater's udev rule, or run the updater as root.</source>
        <translation>Der Rechner konnte nicht geöffnet werden: dieser Benutzer darf nicht darauf schreiben. Installieren Sie die udev-Regel des Updaters oder starten Sie den Updater als root.</translation>
    </message>
    <message id="755">
        <source>The calculator could not be opened: another program holds it (an Explorer window, security software). Close that program.</source>
        <translation>Der Rechner konnte nicht geöffnet werden: ein anderes Programm hält ihn (ein Explorer-Fenster, Sicherheitssoftware). Schließen Sie dieses Programm.</translation>
    </message>
    <message id="756">
        <source>The calculator could not be opened.</source>
        <translation>Der Rechner konnte nicht geöffnet werden.</translation>
    </message>
    <message id="757">
        <source>No calculator was found. Check the cable, and that the calculator shows its update screen.</source>
        <translation>Kein Rechner gefunden. Prüfen Sie das Kabel und ob der Rechner seinen Update-Bildschirm zeigt.</translation>
    </message>
    <message id="758">
        <source>Calculator %1 is missing: plug it in again.</source>
        <translation>Rechner %1 fehlt: stecken Sie ihn wieder an.</translation>
    </message>
    <message id="759">
        <source>The calculator stopped accepting data.</source>
        <translation>Der Rechner hat aufgehört, Daten anzunehmen.</translation>
    </message>
    <message id="760">
        <source>No release in %1: %2</source>
        <translation>Keine Firmware in %1: %2</translation>
    </message>
    <message id="761">
        <source>missing %1</source>
        <translation>%1 fehlt</translation>
    </message>
    <message id="762">
        <source>two spellings of %1</source>
        <translation>%1 in zwei Schreibweisen</translation>
    </message>
    <message id="763">
        <source>the folder does not exist</source>
        <translation>der Ordner existiert nicht</translation>
    </message>
    <message id="764">
        <source>the folder cannot be read</source>
        <translation>der Ordner kann nicht gelesen werden</translation>
    </message>
    <message id="765">
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message id="766">
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message id="767">
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message id="768">
        <source>%1: %2</source>
        <extracomment>A caption and what its line shows, for a screen reader: "Status: Done"</extracomment>
        <translation>%1: %2</translation>
    </message>
    <message id="769">
        <source>What the updater is doing now</source>
        <translation>Was der Updater gerade tut</translation>
    </message>
    <message id="770">
        <source>The firmware file being sent</source>
        <translation>Die Firmware-Datei, die gerade gesendet wird</translation>
    </message>
    <message id="771">
        <source>How much of the current file has been sent</source>
        <translation>Wie viel der aktuellen Datei gesendet ist</translation>
    </message>
    <message id="772">
        <source>Stops the update and closes the window</source>
        <translation>Bricht das Update ab und schließt das Fenster</translation>
    </message>
    <message id="773">
        <source>Starts the update at once</source>
        <translation>Startet das Update sofort</translation>
    </message>
    <message id="774">
        <source>Unavailable while the files are being sent</source>
        <translation>Nicht verfügbar, während die Dateien gesendet werden</translation>
    </message>
    <message id="775">
        <source>%1 is empty</source>
        <extracomment>A release file of 0 bytes: &quot;MASTER.DAT is empty&quot;</extracomment>
        <translation>%1 ist leer</translation>
    </message>
    <message id="776">
        <source>%1 is %2 bytes, its place holds %3</source>
        <extracomment>A release file larger than its place on the calculator, in bytes: &quot;GIRVAARM.ROM is 1,056,768 bytes, its place holds 1,048,576&quot;</extracomment>
        <translation>%1 hat %2 Bytes, sein Platz fasst %3</translation>
    </message>
    <message id="777">
        <source>it is a file, not a folder</source>
        <extracomment>The path given as the release folder names a file: &quot;No release in C:\fw\APPSDISK.DAT: it is a file, not a folder&quot;</extracomment>
        <translation>das ist eine Datei, kein Ordner</translation>
    </message>
    <message id="778">
        <source>it holds the report or the log (%1)</source>
        <extracomment>The release folder holds the file given to --report or --log: &quot;No release in C:\fw: it holds the report or the log (C:\fw\cart.csv)&quot;</extracomment>
        <translation>er enthält den Bericht oder das Protokoll (%1)</translation>
    </message>
    <message id="779">
        <source>The record cannot be written: %1</source>
        <extracomment>The file given to --report or --log cannot be opened; %1 is the file and the system&apos;s reason</extracomment>
        <translation>Der Bericht kann nicht geschrieben werden: %1</translation>
    </message>
    <message id="780">
        <source>The release does not fit this calculator&apos;s disk.</source>
        <extracomment>Result code 119: the application image would run past the end of this calculator&apos;s disk; nothing was written to it</extracomment>
        <translation>Die Firmware passt nicht auf den Speicher dieses Rechners.</translation>
    </message>
    <message id="781">
        <source>%1 could not be read</source>
        <extracomment>A release file the scan could not read, the system&apos;s reason may follow in brackets: &quot;No release in C:\fw: MASTER.DAT could not be read (Access is denied.)&quot;</extracomment>
        <translation>%1 konnte nicht gelesen werden</translation>
    </message>
    <message id="782">
        <source>%1 changed after it was checked</source>
        <extracomment>Result code 120: a release file changed in its folder during the session; the release is refused, or at the scan: &quot;MASTER.DAT changed after it was checked&quot;</extracomment>
        <translation>%1 wurde nach der Prüfung geändert</translation>
    </message>
    <message id="783">
        <source>no copy of it could be kept for sending: %1</source>
        <extracomment>The updater keeps a private copy of the release to send; %1 is the system&apos;s reason it could not: &quot;No release in C:\fw: no copy of it could be kept for sending: No space left on device&quot;</extracomment>
        <translation>es konnte keine Kopie zum Senden angelegt werden: %1</translation>
    </message>
    <message id="784">
        <source>Updating %1 calculators</source>
        <extracomment>The status line while files go out to more than one calculator; %1 is how many of them are not yet updated or given up: &quot;Updating 14 calculators&quot;</extracomment>
        <translation>%1 Rechner werden aktualisiert</translation>
    </message>
    <message id="785">
        <source>not answering for %1 s</source>
        <extracomment>A calculator&apos;s row in the list when its write has made no progress for 10 seconds or more; %1 is the seconds: &quot;not answering for 12 s&quot;</extracomment>
        <translation>antwortet seit %1 s nicht</translation>
    </message>
    <message id="786">
        <source>Updating %1 calculator</source>
        <extracomment>The status line of a cart when one calculator of it is still neither updated nor given up; %1 is 1: &quot;Updating 1 calculator&quot;</extracomment>
        <translation>%1 Rechner wird aktualisiert</translation>
    </message>
    <message id="787">
        <source>The calculator could not be opened: Windows refused this user access to the calculator&apos;s disk. Start the updater as administrator, or ask the IT administrator about the removable-storage policy.</source>
        <extracomment>Result code 107 on Windows: opening the calculator&apos;s disk for writing was refused with access denied (it needs an administrator&apos;s rights, or a removable-storage policy allows it); the system&apos;s message follows in brackets</extracomment>
        <translation>Der Rechner konnte nicht geöffnet werden: Windows hat diesem Benutzer den Zugriff auf das Laufwerk des Rechners verweigert. Starten Sie den Updater als Administrator oder fragen Sie den IT-Administrator nach der Richtlinie für Wechseldatenträger.</translation>
    </message>
    <message id="788">
        <source>Writing to removable disks is blocked on this computer (write protection or a policy). Ask the IT administrator to allow it.</source>
        <extracomment>Result codes 107 and 112 on Windows: write protection, or a policy that denies writing to removable disks; the system&apos;s message follows in brackets</extracomment>
        <translation>Das Schreiben auf Wechseldatenträger ist auf diesem Computer gesperrt (Schreibschutz oder eine Richtlinie). Bitten Sie den IT-Administrator, es zu erlauben.</translation>
    </message>
    <message id="789">
        <source>The calculator could not be opened: it went away. Plug it in again, or check the cable.</source>
        <extracomment>Result code 107 on Windows: the calculator&apos;s disk was not ready, or no longer there, when it was opened; the system&apos;s message follows in brackets</extracomment>
        <translation>Der Rechner konnte nicht geöffnet werden: er ist nicht mehr da. Stecken Sie ihn wieder an oder prüfen Sie das Kabel.</translation>
    </message>
    <message id="790">
        <source>The calculator went away while it was being written. Plug it in again, or check the cable.</source>
        <extracomment>Result code 112 on Windows: the calculator&apos;s disk disappeared while a file was written to it; the system&apos;s message follows in brackets</extracomment>
        <translation>Der Rechner ist verschwunden, während er beschrieben wurde. Stecken Sie ihn wieder an oder prüfen Sie das Kabel.</translation>
    </message>
    <message id="791">
        <source>Restart as administrator</source>
        <extracomment>A button beside Cancel, shown when Windows refused this user the calculator&apos;s disk: starts the updater again with an administrator&apos;s rights (Windows asks first)</extracomment>
        <translation>Als Administrator neu starten</translation>
    </message>
    <message id="792">
        <source>The updater could not be started as administrator.</source>
        <extracomment>The info line when the restart as administrator failed for another reason than the person saying no; the system&apos;s message follows in brackets</extracomment>
        <translation>Der Updater konnte nicht als Administrator gestartet werden.</translation>
    </message>
    <message id="793">
        <source>This calculator&apos;s disk does not have sectors of 512 bytes: the updater cannot write to it.</source>
        <extracomment>Result code 121: this calculator&apos;s disk reports logical sectors of another size than 512 bytes (4096, say), which the calculator&apos;s update mode cannot be driven with; nothing was written to it</extracomment>
        <translation>Der Speicher dieses Rechners hat keine Sektoren zu 512 Byte: der Updater kann nicht darauf schreiben.</translation>
    </message>
    <message id="796">
        <source>Windows has mounted drive %1 on the calculator and would not let it go. Close any window or program using %1, or start the updater as administrator. Never accept Windows&apos; offer to format the drive.</source>
        <extracomment>Result code 122: Windows has mounted a volume with a file system on the calculator&apos;s disk and it could not be locked for the update; nothing was written. %1 is its drive letter, or its volume path when it has none: &quot;Windows has mounted drive E: on the calculator and would not let it go. Close any window or program using E:, ...&quot;</extracomment>
        <translation>Windows hat das Laufwerk %1 auf dem Rechner eingebunden und gibt es nicht frei. Schließen Sie alle Fenster und Programme, die %1 verwenden, oder starten Sie den Updater als Administrator. Nehmen Sie niemals das Angebot von Windows an, das Laufwerk zu formatieren.</translation>
    </message>
    <message id="797">
        <source>Windows has mounted a drive on the calculator and would not let it go. Close any window or program using it, or start the updater as administrator. Never accept Windows&apos; offer to format the drive.</source>
        <extracomment>Result code 122 as in 796, for a drive whose name the system did not give</extracomment>
        <translation>Windows hat ein Laufwerk auf dem Rechner eingebunden und gibt es nicht frei. Schließen Sie alle Fenster und Programme, die es verwenden, oder starten Sie den Updater als Administrator. Nehmen Sie niemals das Angebot von Windows an, das Laufwerk zu formatieren.</translation>
    </message>
    <message id="798">
        <source>updated: unplug it</source>
        <extracomment>The cart station (--station): a calculator&apos;s state in the list once it holds the whole release and was told its session ends; the person pulls it out</extracomment>
        <translation>aktualisiert: abstecken</translation>
    </message>
    <message id="799">
        <source>given up (%1): unplug it</source>
        <extracomment>The cart station: a calculator&apos;s state in the list once it was given up; %1 is the result code</extracomment>
        <translation>aufgegeben (%1): abstecken</translation>
    </message>
    <message id="800">
        <source>Updated %1 · given up %2 · being written %3</source>
        <extracomment>The cart station&apos;s tally above the list: calculators whose last visit ended updated, given up, and those being written now</extracomment>
        <translation>Aktualisiert %1 · aufgegeben %2 · werden beschrieben %3</translation>
    </message>
    <message id="801">
        <source>Stop</source>
        <extracomment>The cart station&apos;s button after its first countdown: takes no new calculator, finishes those being written</extracomment>
        <translation>Stoppen</translation>
    </message>
    <message id="802">
        <source>Takes no new calculator and finishes those being written</source>
        <extracomment>What the Stop button does, for a screen reader</extracomment>
        <translation>Nimmt keinen neuen Rechner mehr an und stellt die gerade beschriebenen fertig</translation>
    </message>
    <message id="803">
        <source>A calculator is being written: the window can be closed once it is done. Press Stop to take no new calculator.</source>
        <extracomment>The info line when the person tries to close the cart station&apos;s window while a calculator is being written</extracomment>
        <translation>Ein Rechner wird gerade beschrieben: das Fenster kann geschlossen werden, sobald er fertig ist. Drücken Sie „Stoppen“, um keinen neuen Rechner mehr anzunehmen.</translation>
    </message>
    <message id="804">
        <source>Stopping: finishing the calculators being written</source>
        <extracomment>The cart station&apos;s status after Stop, while the calculators under way are finished</extracomment>
        <translation>Wird beendet: die gerade beschriebenen Rechner werden fertiggestellt</translation>
    </message>
    <message id="805">
        <source>Plug in the next calculators</source>
        <extracomment>The cart station&apos;s status while no calculator waits to be written</extracomment>
        <translation>Schließen Sie die nächsten Rechner an</translation>
    </message>
    <message id="806">
        <source>Stopped</source>
        <extracomment>The cart station&apos;s status once it has ended (Stop, or the window closed)</extracomment>
        <translation>Beendet</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Warte auf Start…</translation>
    </message>
</context>
</TS>
