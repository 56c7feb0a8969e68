<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU" sourcelanguage="en_US">
<context>
    <name>Updater</name>
    <message id="2">
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message id="20">
        <source>Start</source>
        <translation>Начать</translation>
    </message>
    <message id="521">
        <source>Waiting for connection...</source>
        <translation>Ожидание подключения...</translation>
    </message>
    <message id="622">
        <source>No updates are available</source>
        <translation>Нет доступных обновлений</translation>
    </message>
    <message id="627">
        <source>Done</source>
        <translation>Готово</translation>
    </message>
    <message id="631">
        <source>Firmware update</source>
        <translation>Обновление прошивки</translation>
    </message>
    <message id="633">
        <source>Update aborted</source>
        <translation>Обновление прервано</translation>
    </message>
    <message id="657">
        <source>Firmware</source>
        <translation>Прошивка</translation>
    </message>
    <message id="744">
        <source>Browse for update files</source>
        <translation>Найти файлы обновления</translation>
    </message>
    <message id="745">
        <source>Not updated: %1</source>
        <translation>Не обновлено: %1</translation>
    </message>
    <message id="746">
        <source>%1 (missing %2 of %3 files)</source>
        <translation>%1 (не хватает %2 из %3 файлов)</translation>
    </message>
    <message id="747">
        <source>Updated %1 of %2 calculators</source>
        <translation>Обновлено калькуляторов: %1 из %2</translation>
    </message>
    <message id="748">
        <source>waiting</source>
        <translation>ожидание</translation>
    </message>
    <message id="749">
        <source>file %1 of %2: %3%</source>
        <translation>файл %1 из %2: %3%</translation>
    </message>
    <message id="750">
        <source>updated</source>
        <translation>обновлён</translation>
    </message>
    <message id="751">
        <source>retrying (%1)</source>
        <translation>повтор (%1)</translation>
    </message>
    <message id="752">
        <source>given up (%1)</source>
        <translation>пропущен (%1)</translation>
    </message>
    <message id="753">
        <source>unplugged</source>
        <translation>отключён</translation>
    </message>
    <message id="754">
        <source>The calculator could not be opened: this user may not write to it. Install the updater's udev rule, or run the updater as root.</source>
        <translation>Не удалось открыть калькулятор: у этого пользователя нет права записи на него. Установите правило udev программы обновления или запустите её от имени root.</translation>
    </message>
    <message id="755">
        <source>The calculator could not be opened: another program holds it (an Explorer window, security software). Close that program.</source>
        <translation>Не удалось открыть калькулятор: его занимает другая программа (окно Проводника, защитное ПО). Закройте эту программу.</translation>
    </message>
    <message id="756">
        <source>The calculator could not be opened.</source>
        <translation>Не удалось открыть калькулятор.</translation>
    </message>
    <message id="757">
        <source>No calculator was found. Check the cable, and that the calculator shows its update screen.</source>
        <translation>Калькулятор не найден. Проверьте кабель и что калькулятор показывает экран обновления.</translation>
    </message>
    <message id="758">
        <source>Calculator %1 is missing: plug it in again.</source>
        <translation>Калькулятор %1 отключён: подключите его снова.</translation>
    </message>
    <message id="759">
        <source>The calculator stopped accepting data.</source>
        <translation>Калькулятор перестал принимать данные.</translation>
    </message>
    <message id="760">
        <source>No release in %1: %2</source>
        <translation>В %1 нет обновления: %2</translation>
    </message>
    <message id="761">
        <source>missing %1</source>
        <translation>нет %1</translation>
    </message>
    <message id="762">
        <source>two spellings of %1</source>
        <translation>%1 в двух написаниях</translation>
    </message>
    <message id="763">
        <source>the folder does not exist</source>
        <translation>папка не существует</translation>
    </message>
    <message id="764">
        <source>the folder cannot be read</source>
        <translation>папку невозможно прочитать</translation>
    </message>
    <message id="765">
        <source>Status</source>
        <translation>Состояние</translation>
    </message>
    <message id="766">
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message id="767">
        <source>Progress</source>
        <translation>Ход выполнения</translation>
    </message>
    <message id="768">
        <source>%1: %2</source>
        <extracomment>A caption and what its line shows, for a screen reader: "Status: Done"</extracomment>
        <translation>%1: %2</translation>
    </message>
    <message id="769">
        <source>What the updater is doing now</source>
        <translation>Что сейчас делает программа обновления</translation>
    </message>
    <message id="770">
        <source>The firmware file being sent</source>
        <translation>Отправляемый файл прошивки</translation>
    </message>
    <message id="771">
        <source>How much of the current file has been sent</source>
        <translation>Какая часть текущего файла отправлена</translation>
    </message>
    <message id="772">
        <source>Stops the update and closes the window</source>
        <translation>Прерывает обновление и закрывает окно</translation>
    </message>
    <message id="773">
        <source>Starts the update at once</source>
        <translation>Сразу начинает обновление</translation>
    </message>
    <message id="774">
        <source>Unavailable while the files are being sent</source>
        <translation>Недоступно, пока отправляются файлы</translation>
    </message>
    <message id="775">
        <source>%1 is empty</source>
        <extracomment>A release file of 0 bytes: &quot;MASTER.DAT is empty&quot;</extracomment>
        <translation>%1 пуст</translation>
    </message>
    <message id="776">
        <source>%1 is %2 bytes, its place holds %3</source>
        <extracomment>A release file larger than its place on the calculator, in bytes: &quot;GIRVAARM.ROM is 1,056,768 bytes, its place holds 1,048,576&quot;</extracomment>
        <translation>%1 занимает %2 байт, его место вмещает %3</translation>
    </message>
    <message id="777">
        <source>it is a file, not a folder</source>
        <extracomment>The path given as the release folder names a file: &quot;No release in C:\fw\APPSDISK.DAT: it is a file, not a folder&quot;</extracomment>
        <translation>это файл, а не папка</translation>
    </message>
    <message id="778">
        <source>it holds the report or the log (%1)</source>
        <extracomment>The release folder holds the file given to --report or --log: &quot;No release in C:\fw: it holds the report or the log (C:\fw\cart.csv)&quot;</extracomment>
        <translation>в ней лежит отчёт или журнал (%1)</translation>
    </message>
    <message id="779">
        <source>The record cannot be written: %1</source>
        <extracomment>The file given to --report or --log cannot be opened; %1 is the file and the system&apos;s reason</extracomment>
        <translation>Не удаётся записать отчёт: %1</translation>
    </message>
    <message id="780">
        <source>The release does not fit this calculator&apos;s disk.</source>
        <extracomment>Result code 119: the application image would run past the end of this calculator&apos;s disk; nothing was written to it</extracomment>
        <translation>Прошивка не помещается на диск этого калькулятора.</translation>
    </message>
    <message id="781">
        <source>%1 could not be read</source>
        <extracomment>A release file the scan could not read, the system&apos;s reason may follow in brackets: &quot;No release in C:\fw: MASTER.DAT could not be read (Access is denied.)&quot;</extracomment>
        <translation>не удалось прочитать %1</translation>
    </message>
    <message id="782">
        <source>%1 changed after it was checked</source>
        <extracomment>Result code 120: a release file changed in its folder during the session; the release is refused, or at the scan: &quot;MASTER.DAT changed after it was checked&quot;</extracomment>
        <translation>%1 изменён после проверки</translation>
    </message>
    <message id="783">
        <source>no copy of it could be kept for sending: %1</source>
        <extracomment>The updater keeps a private copy of the release to send; %1 is the system&apos;s reason it could not: &quot;No release in C:\fw: no copy of it could be kept for sending: No space left on device&quot;</extracomment>
        <translation>не удалось сохранить копию для отправки: %1</translation>
    </message>
    <message id="784">
        <source>Updating %1 calculators</source>
        <extracomment>The status line while files go out to more than one calculator; %1 is how many of them are not yet updated or given up: &quot;Updating 14 calculators&quot;</extracomment>
        <translation>Обновление калькуляторов: %1</translation>
    </message>
    <message id="785">
        <source>not answering for %1 s</source>
        <extracomment>A calculator&apos;s row in the list when its write has made no progress for 10 seconds or more; %1 is the seconds: &quot;not answering for 12 s&quot;</extracomment>
        <translation>не отвечает %1 с</translation>
    </message>
    <message id="786">
        <source>Updating %1 calculator</source>
        <extracomment>The status line of a cart when one calculator of it is still neither updated nor given up; %1 is 1: &quot;Updating 1 calculator&quot;</extracomment>
        <translation>Обновление калькуляторов: %1</translation>
    </message>
    <message id="787">
        <source>The calculator could not be opened: Windows refused this user access to the calculator&apos;s disk. Start the updater as administrator, or ask the IT administrator about the removable-storage policy.</source>
        <extracomment>Result code 107 on Windows: opening the calculator&apos;s disk for writing was refused with access denied (it needs an administrator&apos;s rights, or a removable-storage policy allows it); the system&apos;s message follows in brackets</extracomment>
        <translation>Не удалось открыть калькулятор: Windows отказала этому пользователю в доступе к диску калькулятора. Запустите программу обновления от имени администратора или обратитесь к ИТ-администратору по поводу политики для съёмных носителей.</translation>
    </message>
    <message id="788">
        <source>Writing to removable disks is blocked on this computer (write protection or a policy). Ask the IT administrator to allow it.</source>
        <extracomment>Result codes 107 and 112 on Windows: write protection, or a policy that denies writing to removable disks; the system&apos;s message follows in brackets</extracomment>
        <translation>Запись на съёмные диски на этом компьютере заблокирована (защита от записи или политика). Попросите ИТ-администратора разрешить её.</translation>
    </message>
    <message id="789">
        <source>The calculator could not be opened: it went away. Plug it in again, or check the cable.</source>
        <extracomment>Result code 107 on Windows: the calculator&apos;s disk was not ready, or no longer there, when it was opened; the system&apos;s message follows in brackets</extracomment>
        <translation>Не удалось открыть калькулятор: он пропал. Подключите его снова или проверьте кабель.</translation>
    </message>
    <message id="790">
        <source>The calculator went away while it was being written. Plug it in again, or check the cable.</source>
        <extracomment>Result code 112 on Windows: the calculator&apos;s disk disappeared while a file was written to it; the system&apos;s message follows in brackets</extracomment>
        <translation>Калькулятор пропал во время записи. Подключите его снова или проверьте кабель.</translation>
    </message>
    <message id="791">
        <source>Restart as administrator</source>
        <extracomment>A button beside Cancel, shown when Windows refused this user the calculator&apos;s disk: starts the updater again with an administrator&apos;s rights (Windows asks first)</extracomment>
        <translation>Перезапустить от имени администратора</translation>
    </message>
    <message id="792">
        <source>The updater could not be started as administrator.</source>
        <extracomment>The info line when the restart as administrator failed for another reason than the person saying no; the system&apos;s message follows in brackets</extracomment>
        <translation>Не удалось запустить программу обновления от имени администратора.</translation>
    </message>
    <message id="793">
        <source>This calculator&apos;s disk does not have sectors of 512 bytes: the updater cannot write to it.</source>
        <extracomment>Result code 121: this calculator&apos;s disk reports logical sectors of another size than 512 bytes (4096, say), which the calculator&apos;s update mode cannot be driven with; nothing was written to it</extracomment>
        <translation>Сектора диска этого калькулятора не по 512 байт: программа обновления не может записывать на него.</translation>
    </message>
    <message id="796">
        <source>Windows has mounted drive %1 on the calculator and would not let it go. Close any window or program using %1, or start the updater as administrator. Never accept Windows&apos; offer to format the drive.</source>
        <extracomment>Result code 122: Windows has mounted a volume with a file system on the calculator&apos;s disk and it could not be locked for the update; nothing was written. %1 is its drive letter, or its volume path when it has none: &quot;Windows has mounted drive E: on the calculator and would not let it go. Close any window or program using E:, ...&quot;</extracomment>
        <translation>Windows подключила на калькуляторе диск %1 и не освобождает его. Закройте все окна и программы, использующие %1, или запустите программу обновления от имени администратора. Никогда не соглашайтесь на предложение Windows отформатировать диск.</translation>
    </message>
    <message id="797">
        <source>Windows has mounted a drive on the calculator and would not let it go. Close any window or program using it, or start the updater as administrator. Never accept Windows&apos; offer to format the drive.</source>
        <extracomment>Result code 122 as in 796, for a drive whose name the system did not give</extracomment>
        <translation>Windows подключила на калькуляторе диск и не освобождает его. Закройте все окна и программы, использующие его, или запустите программу обновления от имени администратора. Никогда не соглашайтесь на предложение Windows отформатировать диск.</translation>
    </message>
    <message id="798">
        <source>updated: unplug it</source>
        <extracomment>The cart station (--station): a calculator&apos;s state in the list once it holds the whole release and was told its session ends; the person pulls it out</extracomment>
        <translation>обновлён: отключите его</translation>
    </message>
    <message id="799">
        <source>given up (%1): unplug it</source>
        <extracomment>The cart station: a calculator&apos;s state in the list once it was given up; %1 is the result code</extracomment>
        <translation>пропущен (%1): отключите его</translation>
    </message>
    <message id="800">
        <source>Updated %1 · given up %2 · being written %3</source>
        <extracomment>The cart station&apos;s tally above the list: calculators whose last visit ended updated, given up, and those being written now</extracomment>
        <translation>Обновлено %1 · пропущено %2 · записывается %3</translation>
    </message>
    <message id="801">
        <source>Stop</source>
        <extracomment>The cart station&apos;s button after its first countdown: takes no new calculator, finishes those being written</extracomment>
        <translation>Остановить</translation>
    </message>
    <message id="802">
        <source>Takes no new calculator and finishes those being written</source>
        <extracomment>What the Stop button does, for a screen reader</extracomment>
        <translation>Не принимает новые калькуляторы и завершает запись текущих</translation>
    </message>
    <message id="803">
        <source>A calculator is being written: the window can be closed once it is done. Press Stop to take no new calculator.</source>
        <extracomment>The info line when the person tries to close the cart station&apos;s window while a calculator is being written</extracomment>
        <translation>Идёт запись на калькулятор: окно можно будет закрыть, когда она закончится. Нажмите «Остановить», чтобы не принимать новые калькуляторы.</translation>
    </message>
    <message id="804">
        <source>Stopping: finishing the calculators being written</source>
        <extracomment>The cart station&apos;s status after Stop, while the calculators under way are finished</extracomment>
        <translation>Остановка: завершается запись на калькуляторы</translation>
    </message>
    <message id="805">
        <source>Plug in the next calculators</source>
        <extracomment>The cart station&apos;s status while no calculator waits to be written</extracomment>
        <translation>Подключите следующие калькуляторы</translation>
    </message>
    <message id="806">
        <source>Stopped</source>
        <extracomment>The cart station&apos;s status once it has ended (Stop, or the window closed)</extracomment>
        <translation>Остановлено</translation>
    </message>
    <message id="7774">
        <source>Waiting to start…</source>
        <translation>Ожидание запуска…</translation>
    </message>
</context>
</TS>
