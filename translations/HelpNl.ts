<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="nl_NL" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation>Annuleren</translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation>Starten</translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation>Wachten op verbinding...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>Geen updates beschikbaar</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>Gereed</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>Firmware-update</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>Update afgebroken</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>Firmware</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>Bladeren naar updatebestanden</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>Niet bijgewerkt: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (%2 van %3 bestanden ontbreken)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>%1 van %2 rekenmachines bijgewerkt</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>wacht</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>bestand %1 van %2: %3%</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>bijgewerkt</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>opnieuw proberen (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>opgegeven (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>losgekoppeld</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Wachten op start…</translation>
    </message>
</context>
</TS>
