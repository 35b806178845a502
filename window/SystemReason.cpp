#include "window/SystemReason.h"

#include <cerrno>

namespace tarnwick::window {

namespace {

// The system's reasons as glibc's Russian catalogue words them, by the
// number of each (made from its libc.mo; the names a system lacks left out).
struct Worded {
    int value;
    const char16_t* words;
};
constexpr Worded kReasons[] = {
#ifdef EPERM
    {EPERM, u"Операция не позволена"},
#endif
#ifdef ENOENT
    {ENOENT, u"Нет такого файла или каталога"},
#endif
#ifdef ESRCH
    {ESRCH, u"Нет такого процесса"},
#endif
#ifdef EINTR
    {EINTR, u"Прерван системный вызов"},
#endif
#ifdef EIO
    {EIO, u"Ошибка ввода/вывода"},
#endif
#ifdef ENXIO
    {ENXIO, u"Нет такого устройства или адреса"},
#endif
#ifdef E2BIG
    {E2BIG, u"Слишком длинный список аргументов"},
#endif
#ifdef ENOEXEC
    {ENOEXEC, u"Ошибка формата выполняемого файла"},
#endif
#ifdef EBADF
    {EBADF, u"Неправильный дескриптор файла"},
#endif
#ifdef ECHILD
    {ECHILD, u"Нет дочерних процессов"},
#endif
#ifdef EAGAIN
    {EAGAIN, u"Ресурс временно недоступен"},
#endif
#ifdef ENOMEM
    {ENOMEM, u"Невозможно выделить память"},
#endif
#ifdef EACCES
    {EACCES, u"Отказано в доступе"},
#endif
#ifdef EFAULT
    {EFAULT, u"Неправильный адрес"},
#endif
#ifdef ENOTBLK
    {ENOTBLK, u"Требуется блочное устройство"},
#endif
#ifdef EBUSY
    {EBUSY, u"Устройство или ресурс занято"},
#endif
#ifdef EEXIST
    {EEXIST, u"Файл существует"},
#endif
#ifdef EXDEV
    {EXDEV, u"Неверная ссылка между устройствами"},
#endif
#ifdef ENODEV
    {ENODEV, u"Нет такого устройства"},
#endif
#ifdef ENOTDIR
    {ENOTDIR, u"Это не каталог"},
#endif
#ifdef EISDIR
    {EISDIR, u"Это каталог"},
#endif
#ifdef EINVAL
    {EINVAL, u"Недопустимый аргумент"},
#endif
#ifdef ENFILE
    {ENFILE, u"Слишком много открытых файлов в системе"},
#endif
#ifdef EMFILE
    {EMFILE, u"Слишком много открытых файлов"},
#endif
#ifdef ENOTTY
    {ENOTTY, u"Неприменимый к данному устройству ioctl"},
#endif
#ifdef ETXTBSY
    {ETXTBSY, u"Текстовый файл занят"},
#endif
#ifdef EFBIG
    {EFBIG, u"Файл слишком велик"},
#endif
#ifdef ENOSPC
    {ENOSPC, u"На устройстве не осталось свободного места"},
#endif
#ifdef ESPIPE
    {ESPIPE, u"Недопустимая операция смещения"},
#endif
#ifdef EROFS
    {EROFS, u"Файловая система доступна только для чтения"},
#endif
#ifdef EMLINK
    {EMLINK, u"Слишком много ссылок"},
#endif
#ifdef EPIPE
    {EPIPE, u"Обрыв канала"},
#endif
#ifdef EDOM
    {EDOM, u"Числовой аргумент вне области определения"},
#endif
#ifdef ERANGE
    {ERANGE, u"Числовой результат вне представимого диапазона"},
#endif
#ifdef ENAMETOOLONG
    {ENAMETOOLONG, u"Слишком длинное имя файла"},
#endif
#ifdef ENOLCK
    {ENOLCK, u"Нет доступных блокировок"},
#endif
#ifdef ENOSYS
    {ENOSYS, u"Функция не реализована"},
#endif
#ifdef ENOTEMPTY
    {ENOTEMPTY, u"Каталог не пуст"},
#endif
#ifdef ELOOP
    {ELOOP, u"Слишком много уровней символьных ссылок"},
#endif
#ifdef ENOMSG
    {ENOMSG, u"Нет сообщения желаемого типа"},
#endif
#ifdef EIDRM
    {EIDRM, u"Идентификатор был удален"},
#endif
#ifdef ECHRNG
    {ECHRNG, u"Номер канала вне диапазона"},
#endif
#ifdef EL2NSYNC
    {EL2NSYNC, u"Уровень 2 не синхронизирован"},
#endif
#ifdef EL3HLT
    {EL3HLT, u"Уровень 3 остановлен"},
#endif
#ifdef EL3RST
    {EL3RST, u"Уровень 3 сброшен"},
#endif
#ifdef ELNRNG
    {ELNRNG, u"Число ссылок вне допустимого диапазона"},
#endif
#ifdef EUNATCH
    {EUNATCH, u"Драйвер протокола не подсоединен"},
#endif
#ifdef ENOCSI
    {ENOCSI, u"Нет доступной CSI-структуры"},
#endif
#ifdef EL2HLT
    {EL2HLT, u"Уровень 2 остановлен"},
#endif
#ifdef EBADE
    {EBADE, u"Некорректный обмен"},
#endif
#ifdef EBADR
    {EBADR, u"Неверный дескриптор запроса"},
#endif
#ifdef EXFULL
    {EXFULL, u"Обмен полный"},
#endif
#ifdef ENOANO
    {ENOANO, u"Нет anode"},
#endif
#ifdef EBADRQC
    {EBADRQC, u"Неверный код запроса"},
#endif
#ifdef EBADSLT
    {EBADSLT, u"Некорректный слот"},
#endif
#ifdef EBFONT
    {EBFONT, u"Неверный формат файла со шрифтом"},
#endif
#ifdef ENOSTR
    {ENOSTR, u"Устройство не является потоком"},
#endif
#ifdef ENODATA
    {ENODATA, u"Нет доступных данных"},
#endif
#ifdef ETIME
    {ETIME, u"Таймер истек"},
#endif
#ifdef ENOSR
    {ENOSR, u"Недостаточно потоковых ресурсов"},
#endif
#ifdef ENONET
    {ENONET, u"Машина не в сети"},
#endif
#ifdef ENOPKG
    {ENOPKG, u"Пакет не установлен"},
#endif
#ifdef EREMOTE
    {EREMOTE, u"Это удаленный объект"},
#endif
#ifdef ENOLINK
    {ENOLINK, u"Соединение было разорвано"},
#endif
#ifdef EADV
    {EADV, u"Ошибка объявления"},
#endif
#ifdef ESRMNT
    {ESRMNT, u"Ошибка Srmount"},
#endif
#ifdef ECOMM
    {ECOMM, u"Ошибка связи при отправке"},
#endif
#ifdef EPROTO
    {EPROTO, u"Ошибка протокола"},
#endif
#ifdef EMULTIHOP
    {EMULTIHOP, u"Попытка Multihop"},
#endif
#ifdef EDOTDOT
    {EDOTDOT, u"Специфичная для RFS ошибка"},
#endif
#ifdef EBADMSG
    {EBADMSG, u"Неправильное сообщение"},
#endif
#ifdef EOVERFLOW
    {EOVERFLOW, u"Значение слишком велико для такого типа данных"},
#endif
#ifdef ENOTUNIQ
    {ENOTUNIQ, u"Имя не уникально в сети"},
#endif
#ifdef EBADFD
    {EBADFD, u"Дескриптор файла в плохом состоянии"},
#endif
#ifdef EREMCHG
    {EREMCHG, u"Удаленный адрес был изменен"},
#endif
#ifdef ELIBACC
    {ELIBACC, u"Невозможно получить доступ к нужной разделяемой библиотеке"},
#endif
#ifdef ELIBBAD
    {ELIBBAD, u"Обращение к поврежденной разделяемой библиотеке"},
#endif
#ifdef ELIBSCN
    {ELIBSCN, u"Секция .lib в a.out повреждена"},
#endif
#ifdef ELIBMAX
    {ELIBMAX, u"Попытка подключить слишком много разделяемый библиотек"},
#endif
#ifdef ELIBEXEC
    {ELIBEXEC, u"Невозможно непосредственно выполнить разделяемую библиотеку"},
#endif
#ifdef EILSEQ
    {EILSEQ, u"Неверный или неполный мультибайтный или широкий символ"},
#endif
#ifdef ERESTART
    {ERESTART, u"Прерванный системный вызов следует перезапустить"},
#endif
#ifdef ESTRPIPE
    {ESTRPIPE, u"Ошибка потоков канала"},
#endif
#ifdef EUSERS
    {EUSERS, u"Слишком много пользователей"},
#endif
#ifdef ENOTSOCK
    {ENOTSOCK, u"Операция для сокета применена к не-сокету"},
#endif
#ifdef EDESTADDRREQ
    {EDESTADDRREQ, u"Требуется указать адрес назначения"},
#endif
#ifdef EMSGSIZE
    {EMSGSIZE, u"Сообщение слишком длинное"},
#endif
#ifdef EPROTOTYPE
    {EPROTOTYPE, u"Неподдерживаемый тип протокола для сокета"},
#endif
#ifdef ENOPROTOOPT
    {ENOPROTOOPT, u"Протокол недоступен"},
#endif
#ifdef EPROTONOSUPPORT
    {EPROTONOSUPPORT, u"Протокол не поддерживается"},
#endif
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, u"Неподдерживаемый тип сокета"},
#endif
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, u"Неподдерживаемое семейство протоколов"},
#endif
#ifdef EAFNOSUPPORT
    {EAFNOSUPPORT, u"Семейство адресов не поддерживается протоколом"},
#endif
#ifdef EADDRINUSE
    {EADDRINUSE, u"Адрес уже используется"},
#endif
#ifdef EADDRNOTAVAIL
    {EADDRNOTAVAIL, u"Невозможно назначить запрошенный адрес"},
#endif
#ifdef ENETDOWN
    {ENETDOWN, u"Сеть не работает"},
#endif
#ifdef ENETUNREACH
    {ENETUNREACH, u"Сеть недоступна"},
#endif
#ifdef ENETRESET
    {ENETRESET, u"Сетевое соединение было разорвано"},
#endif
#ifdef ECONNABORTED
    {ECONNABORTED, u"Программа вызвала разрыв соединения"},
#endif
#ifdef ECONNRESET
    {ECONNRESET, u"Соединение разорвано другой стороной"},
#endif
#ifdef ENOBUFS
    {ENOBUFS, u"Недостаточно буферного пространства"},
#endif
#ifdef EISCONN
    {EISCONN, u"Конечная точка передачи уже подсоединена"},
#endif
#ifdef ENOTCONN
    {ENOTCONN, u"Конечная точка передачи не подсоединена"},
#endif
#ifdef ESHUTDOWN
    {ESHUTDOWN, u"Невозможно отправить данные после выключения конечной точки передачи"},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, u"Слишком много ссылок: невозможно объединить"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, u"Время ожидания соединения истекло"},
#endif
#ifdef ECONNREFUSED
    {ECONNREFUSED, u"В соединении отказано"},
#endif
#ifdef EHOSTDOWN
    {EHOSTDOWN, u"Узел выключен"},
#endif
#ifdef EHOSTUNREACH
    {EHOSTUNREACH, u"Нет маршрута до узла"},
#endif
#ifdef EALREADY
    {EALREADY, u"Операция уже выполняется"},
#endif
#ifdef EINPROGRESS
    {EINPROGRESS, u"Операция выполняется в данный момент"},
#endif
#ifdef ESTALE
    {ESTALE, u"Устаревший дескриптор файла"},
#endif
#ifdef EUCLEAN
    {EUCLEAN, u"Структуру необходимо почистить"},
#endif
#ifdef ENOTNAM
    {ENOTNAM, u"Не является файлом именованного типа XENIX"},
#endif
#ifdef ENAVAIL
    {ENAVAIL, u"Семафоры XENIX недоступны"},
#endif
#ifdef EISNAM
    {EISNAM, u"Является файлом именованного типа"},
#endif
#ifdef EREMOTEIO
    {EREMOTEIO, u"Ошибка удаленного ввода/вывода"},
#endif
#ifdef EDQUOT
    {EDQUOT, u"Превышена дисковая квота"},
#endif
#ifdef ENOMEDIUM
    {ENOMEDIUM, u"Носитель не найден"},
#endif
#ifdef EMEDIUMTYPE
    {EMEDIUMTYPE, u"Неправильный тип носителя"},
#endif
#ifdef ECANCELED
    {ECANCELED, u"Операция отменена"},
#endif
#ifdef ENOKEY
    {ENOKEY, u"Требуемый ключ недоступен"},
#endif
#ifdef EKEYEXPIRED
    {EKEYEXPIRED, u"Время жизни ключа истекло"},
#endif
#ifdef EKEYREVOKED
    {EKEYREVOKED, u"Ключ был отозван"},
#endif
#ifdef EKEYREJECTED
    {EKEYREJECTED, u"Ключ был отвергнут службой"},
#endif
#ifdef EOWNERDEAD
    {EOWNERDEAD, u"Владелец умер"},
#endif
#ifdef ENOTRECOVERABLE
    {ENOTRECOVERABLE, u"Состояние нельзя восстановить"},
#endif
#ifdef ERFKILL
    {ERFKILL, u"Операция не позволяется из-за RF-kill"},
#endif
};

QString ProgramsRussian(const std::error_code& code) {
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() != std::generic_category()) return {};
    for (const Worded& reason : kReasons)
        if (reason.value == condition.value()) return QString::fromUtf16(reason.words);
    return {};
}

}  // namespace

QString SystemReason(const std::error_code& code) {
    // The program's words first: they are the same whatever the user's
    // LANGUAGE asks of the system's catalogues.
    QString text = ProgramsRussian(code);
    if (text.isEmpty()) text = detail::SystemsRussian(code);
    if (text.isEmpty()) text = QString::fromStdString(code.message());
    return text;
}

}  // namespace tarnwick::window
