// Registering and unregistering the device callback.
//
// Decisions of this implementation:
// - Registering after an unregistration starts afresh: a new record, a new event
//   source and a new thread that sets up and listens on its own; nothing of the
//   previous thread survives it.
// - The stop request goes to the event source, which the caller creates before the
//   thread starts; so it reaches a thread at any stage, and unregistering right
//   after registering never hangs. An event source that cannot be created counts
//   as a thread that cannot be started: no thread could ever be told to stop.
// - The thread's identifier is the OS thread ID, reported by the thread before
//   Register returns, as CreateThread reports it.
// - Unregistering from the callback would have the thread wait for its own end; it
//   is refused with QVX_KESTRUNE_RESULT_INTERNAL_ERROR and the registration stays.
#include <future>
#include <memory>
#include <utility>

#include "core/boundary.h"
#include "kestrune.h"
#include "core/log.h"
#include "notify/notify_backends.h"
#include "notify/notify_record.h"
#include "platform/thread_id.h"

namespace kestrune::notify {

std::atomic<DeviceNotifyRecord *> deviceNotify{nullptr};

namespace {

// Starts the thread and waits for it to report its identifier. False when the
// thread could not be created. The thread owns the promise, so that reporting
// never touches storage that Register has already left behind.
bool start_notify_thread(DeviceNotifyRecord &record)
{
    try {
        std::promise<uint32_t> started;
        std::future<uint32_t> threadId = started.get_future();
        record.thread = std::thread([&record, reported = std::move(started)]() mutable {
            reported.set_value(platform::current_thread_id());
            DeviceNotifyThread(&record);
        });
        record.threadId = threadId.get();
        return true;
    } catch (...) {
        return false;
    }
}

QVX_KESTRUNE_RESULT_E register_notification(QVX_KESTRUNE_DEVICE_NOTIFY_CB callback)
{
    const char *fn = "QVX_KESTRUNE_Register_Device_Notification";
    if (DeviceNotifyRecord *current = deviceNotify.load()) {
        log_printf("E KestruneCtl %s %d: Override register info! thread=%lu\r\n", fn, __LINE__,
                   static_cast<unsigned long>(current->threadId));
        current->callback.store(callback);
        return QVX_KESTRUNE_RESULT_SUCCESS;
    }

    auto record = std::make_unique<DeviceNotifyRecord>();
    record->callback.store(callback);
    record->events = make_device_event_source();
    if (record->events) {
        deviceNotify.store(record.get());
        if (start_notify_thread(*record)) {
            static_cast<void>(record.release());
            return QVX_KESTRUNE_RESULT_SUCCESS;
        }
        deviceNotify.store(nullptr);
    }
    log_printf("E KestruneCtl %s %d: Error new thread!\r\n", fn, __LINE__);
    return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
}

QVX_KESTRUNE_RESULT_E unregister_notification()
{
    const char *fn = "QVX_KESTRUNE_Unregister_Device_Notification";
    DeviceNotifyRecord *record = deviceNotify.load();
    if (record == nullptr) {
        log_printf("E KestruneCtl %s %d: empty handle!\r\n", fn, __LINE__);
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    if (record->thread.get_id() == std::this_thread::get_id()) {
        log_printf("E KestruneCtl %s %d: called on the notification thread!\r\n", fn, __LINE__);
        return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
    }
    record->events->request_stop();
    record->thread.join();
    deviceNotify.store(nullptr);
    delete record;
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

} // namespace

} // namespace kestrune::notify

KESTRUNE_API QVX_KESTRUNE_RESULT_E KESTRUNE_CALL QVX_KESTRUNE_Register_Device_Notification(QVX_KESTRUNE_DEVICE_NOTIFY_CB callback)
{
    return kestrune::call_guarded(__func__, QVX_KESTRUNE_RESULT_INTERNAL_ERROR,
                                  [callback] { return kestrune::notify::register_notification(callback); });
}

KESTRUNE_API QVX_KESTRUNE_RESULT_E KESTRUNE_CALL QVX_KESTRUNE_Unregister_Device_Notification()
{
    return kestrune::call_guarded(__func__, QVX_KESTRUNE_RESULT_INTERNAL_ERROR,
                                  kestrune::notify::unregister_notification);
}
