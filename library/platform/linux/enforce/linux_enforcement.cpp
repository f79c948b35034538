// The Linux refresh as the machine's policy engine: the effective policy is
// compiled into a plan over the devices present, the plan goes into the udev
// rules file for devices that arrive later (and at every boot), the retroactive
// pass carries it out now, and Policies/Enforcement.txt says what happened.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "platform/linux/enforce/authorisation_peers.h"
#include "platform/linux/enforce/enforcement_report.h"
#include "platform/linux/enforce/udev_rules.h"
#include "platform/policy_enforcement.h"

namespace kestrune::platform {

namespace {

enum class Mode { off, enforce, plan, invalid };

Mode enforcement_mode(bool machineRoot)
{
    const char *setting = std::getenv("KESTRUNE_ENFORCE");
    if (setting == nullptr || *setting == '\0')
        return machineRoot ? Mode::enforce : Mode::off;
    if (std::strcmp(setting, "0") == 0)
        return Mode::off;
    if (std::strcmp(setting, "1") == 0)
        return Mode::enforce;
    if (std::strcmp(setting, "plan") == 0)
        return Mode::plan;
    return Mode::invalid;
}

std::string rules_comment(Mode mode, const Plan &plan, const RulesInstall &rules)
{
    if (mode == Mode::plan)
        return std::string("plan only: ") + kUdevRulesFile + (plan.policy.denies_anything() ? " not written" : " not removed");
    if (rules.skipped)
        return std::string("no ") + kUdevRulesDir + ": udev is not installed, no rules for devices that arrive later";
    if (rules.failure)
        return "rules file not changed: " + rules.failure.text();
    return std::string(kUdevRulesFile) + (rules.installed ? " written" : " removed: the policy denies nothing") +
           (rules.reloaded ? ", udev reloaded" : "");
}

} // namespace

bool enforce_effective_policy(const RegNode &effective, const std::string &policyRoot, bool machineRoot)
{
    const char *fn = __func__;
    Mode mode = enforcement_mode(machineRoot);
    if (mode == Mode::off)
        return true;
    if (mode == Mode::invalid) {
        log_printf("E KestruneCtl %s %d: KESTRUNE_ENFORCE=%s is not 0, 1 or plan: nothing enforced\r\n", fn, __LINE__,
                   std::getenv("KESTRUNE_ENFORCE"));
        return false;
    }
    bool ok = true;
    std::time_t now = std::time(nullptr);
    EnforcedPolicy policy = read_enforced_policy(effective);
    std::vector<FoundDevice> devices = scan_devices();
    SystemFacts facts = read_system_facts();
    Plan plan = compile_plan(policy, devices, facts);

    std::vector<std::string> comments;
    for (const std::string &foreign : policy.foreignClasses) {
        log_printf("I KestruneCtl %s %d: class %s on the deny list names no device kind: not enforced\r\n", fn,
                   __LINE__, foreign.c_str());
        comments.push_back("class " + foreign + " on the deny list names no device kind: not enforced");
    }
    if (policy.denies_anything())
        for (const std::string &peer : authorisation_peers()) {
            log_printf("W KestruneCtl %s %d: %s: it manages USB authorisation too, Kestrune does not fight it\r\n",
                       fn, __LINE__, peer.c_str());
            comments.push_back("peer: " + peer);
        }

    RulesInstall rules;
    if (mode == Mode::enforce) {
        rules = install_udev_rules(plan);
        if (rules.failure) {
            log_printf("E KestruneCtl %s %d: %s\r\n", fn, __LINE__, rules.failure.text().c_str());
            ok = false;
        }
    }
    comments.push_back(rules_comment(mode, plan, rules));

    std::vector<ActionMark> marks = load_marks();
    std::vector<DeviceReport> reports = run_retroactive(plan, devices, facts, marks, mode == Mode::plan);
    if (mode == Mode::enforce)
        if (IoFailure failed = save_marks(marks)) {
            log_printf("E KestruneCtl %s %d: %s\r\n", fn, __LINE__, failed.text().c_str());
            ok = false;
        }
    for (const DeviceReport &report : reports) {
        const char *kind = device_kind_name(report.kind);
        if (report.failed()) {
            log_printf("E KestruneCtl %s %d: %s %s: %s\r\n", fn, __LINE__, kind, report.device.c_str(),
                       report.detail.c_str());
            ok = false;
        } else if (report.outcome == "exempt" || report.outcome == "not-enforceable") {
            log_printf("I KestruneCtl %s %d: %s %s %s: %s\r\n", fn, __LINE__, report.outcome.c_str(), kind,
                       report.device.c_str(), report.detail.c_str());
        }
    }

    std::string text = enforcement_report_text(mode == Mode::plan ? "plan" : "enforce", now, comments, reports);
    if (IoResult written = write_enforcement_report(policyRoot, text); written.failed()) {
        log_printf("E KestruneCtl %s %d: %s %s failed, errno=%d\r\n", fn, __LINE__, written.call,
                   written.path.c_str(), written.error);
        ok = false;
    }
    return ok;
}

} // namespace kestrune::platform
