#include "window/SystemReason.h"

#include <cerrno>

namespace tarnwick::window {

namespace {

// The reasons a file operation meets, worded as glibc's Russian catalogue words them.
QString ProgramsRussian(const std::error_code& code) {
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() != std::generic_category()) return {};
    switch (static_cast<std::errc>(condition.value())) {
    case std::errc::no_such_file_or_directory: return QStringLiteral("Нет такого файла или каталога");
    case std::errc::permission_denied: return QStringLiteral("Отказано в доступе");
    case std::errc::operation_not_permitted: return QStringLiteral("Операция не позволена");
    case std::errc::no_space_on_device: return QStringLiteral("На устройстве не осталось свободного места");
    case std::errc::read_only_file_system: return QStringLiteral("Файловая система доступна только для чтения");
    case std::errc::io_error: return QStringLiteral("Ошибка ввода/вывода");
    case std::errc::file_exists: return QStringLiteral("Файл существует");
    case std::errc::filename_too_long: return QStringLiteral("Слишком длинное имя файла");
    case std::errc::too_many_symbolic_link_levels: return QStringLiteral("Слишком много уровней символьных ссылок");
    case std::errc::is_a_directory: return QStringLiteral("Это каталог");
    case std::errc::not_a_directory: return QStringLiteral("Это не каталог");
    case std::errc::device_or_resource_busy: return QStringLiteral("Устройство или ресурс занято");
    case std::errc::text_file_busy: return QStringLiteral("Текстовый файл занят");
    case std::errc::file_too_large: return QStringLiteral("Файл слишком велик");
    case std::errc::too_many_files_open: return QStringLiteral("Слишком много открытых файлов");
    case std::errc::too_many_files_open_in_system: return QStringLiteral("Слишком много открытых файлов в системе");
    case std::errc::cross_device_link: return QStringLiteral("Неверная ссылка между устройствами");
    case std::errc::invalid_argument: return QStringLiteral("Недопустимый аргумент");
    case std::errc::directory_not_empty: return QStringLiteral("Каталог не пуст");
    case std::errc::not_enough_memory: return QStringLiteral("Невозможно выделить память");
    case std::errc::resource_unavailable_try_again: return QStringLiteral("Ресурс временно недоступен");
    case std::errc::timed_out: return QStringLiteral("Время ожидания соединения истекло");
    case std::errc::not_supported: return QStringLiteral("Неподдерживаемая операция");
    case std::errc::function_not_supported: return QStringLiteral("Функция не реализована");
    case std::errc::no_such_device: return QStringLiteral("Нет такого устройства");
    case std::errc::no_such_device_or_address: return QStringLiteral("Нет такого устройства или адреса");
    case std::errc::bad_file_descriptor: return QStringLiteral("Неправильный дескриптор файла");
    case std::errc::broken_pipe: return QStringLiteral("Обрыв канала");
    case std::errc::interrupted: return QStringLiteral("Прерван системный вызов");
    case std::errc::value_too_large: return QStringLiteral("Значение слишком велико для такого типа данных");
    case std::errc::no_message_available: return QStringLiteral("Нет доступных данных");
    case std::errc::not_connected: return QStringLiteral("Конечная точка передачи не подсоединена");
    case std::errc::connection_aborted: return QStringLiteral("Программа вызвала разрыв соединения");
    case std::errc::connection_reset: return QStringLiteral("Соединение разорвано другой стороной");
    case std::errc::operation_canceled: return QStringLiteral("Операция отменена");
    case std::errc::no_lock_available: return QStringLiteral("Нет доступных блокировок");
    case std::errc::illegal_byte_sequence:
        return QStringLiteral("Неверный или неполный мультибайтный или широкий символ");
    case std::errc::host_unreachable: return QStringLiteral("Нет маршрута до узла");
    case std::errc::network_down: return QStringLiteral("Сеть не работает");
    case std::errc::network_unreachable: return QStringLiteral("Сеть недоступна");
    case std::errc::connection_refused: return QStringLiteral("В соединении отказано");
    default: break;
    }
    // Reasons of file systems that the portable conditions do not name.
    switch (condition.value()) {
#ifdef EDQUOT
    case EDQUOT: return QStringLiteral("Превышена дисковая квота");
#endif
#ifdef ESTALE
    case ESTALE: return QStringLiteral("Устаревший дескриптор файла");
#endif
#ifdef EHOSTDOWN
    case EHOSTDOWN: return QStringLiteral("Узел выключен");
#endif
#ifdef EREMOTEIO
    case EREMOTEIO: return QStringLiteral("Ошибка удаленного ввода/вывода");
#endif
#ifdef ENOMEDIUM
    case ENOMEDIUM: return QStringLiteral("Носитель не найден");
#endif
    default: return {};
    }
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
