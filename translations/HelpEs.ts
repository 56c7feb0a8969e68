<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation>Iniciar</translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation>Esperando conexión...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>No hay actualizaciones disponibles</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>Listo</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>Actualización del firmware</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>Actualización cancelada</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>Firmware</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>Buscar archivos de actualización</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>No actualizado: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (faltan %2 de %3 archivos)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>%1 de %2 calculadoras actualizadas</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>en espera</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>archivo %1 de %2: %3 %</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>actualizada</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>reintentando (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>abandonada (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>desconectada</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Esperando para iniciar…</translation>
    </message>
</context>
</TS>
