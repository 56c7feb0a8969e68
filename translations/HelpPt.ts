<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt_BR" sourcelanguage="en_US">
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
        <translation>Aguardando conexão...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>Nenhuma atualização disponível</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>Concluído</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>Atualização de firmware</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>Atualização cancelada</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>Firmware</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>Procurar arquivos de atualização</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>Não atualizado: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (faltam %2 de %3 arquivos)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>%1 de %2 calculadoras atualizadas</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>a aguardar</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>ficheiro %1 de %2: %3%</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>atualizada</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>a tentar de novo (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>abandonada (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>desligada</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Aguardando início…</translation>
    </message>
</context>
</TS>
