<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation></translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation></translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation></translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation></translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation></translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation></translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation></translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation></translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation></translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>Not updated: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (missing %2 of %3 files)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>Updated %1 of %2 calculators</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>waiting</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>file %1 of %2: %3%</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>updated</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>retrying (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>given up (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>unplugged</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation></translation>
    </message>
</context>
</TS>
