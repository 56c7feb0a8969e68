<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation>正在等待连接...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>没有可用的更新</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>完成</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>固件更新</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>更新已中止</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>固件</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>浏览更新文件</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>未更新：%1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1（缺少 %3 个文件中的 %2 个）</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>已更新 %1 台计算器（共 %2 台）</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>等待中</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>文件 %1/%2：%3%</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>已更新</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>正在重试 (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>已放弃 (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>已拔出</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>等待开始…</translation>
    </message>
</context>
</TS>
