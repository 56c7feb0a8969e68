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
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Wachten op start…</translation>
    </message>
</context>
</TS>
