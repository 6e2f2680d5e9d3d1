#ifndef JOURNALCALLS_H
#define JOURNALCALLS_H

// The names of the journal's calls that something reads back (the home screen,
// the tests), spelled once for the recorder and its readers. Named after the
// operation; each is "Class::operation".
namespace JournalCall {
constexpr char exeLanguage[] = "SysLanguage::exeLanguage";
constexpr char setRightDrive[] = "UIManager::setRightDrive";
constexpr char setCurSource[] = "AppData::setCurSource";
constexpr char setLastSource[] = "AppData::setLastSource";
constexpr char setMcuType[] = "AppData::setMcuType";
constexpr char setTunerType[] = "AppData::setTunerType";
constexpr char setUUID[] = "AppData::setUUID";
constexpr char setMcuTimeSynced[] = "AppData::setMcuTimeSynced";
constexpr char setMcuVersion[] = "PlatformControl::setMcuVersion";
constexpr char sendMcuKeyPressedSignal[] = "BaseControl::sendMcuKeyPressedSignal";
constexpr char ejectSlot[] = "BaseControl::ejectSlot";
constexpr char getDateVersion[] = "BaseControl::getDateVersion";
constexpr char ReceiveKeyStudyMsgFromMcu[] = "BaseControl::ReceiveKeyStudyMsgFromMcu";
constexpr char RecevieMsgFromMcu[] = "BaseControl::RecevieMsgFromMcu";
constexpr char RecevieSIMMsgFromMcu[] = "BaseControl::RecevieSIMMsgFromMcu";
constexpr char RecevieMCMMsgFromMcu[] = "BaseControl::RecevieMCMMsgFromMcu";
constexpr char RecevieAutoTestFromMcu[] = "BaseControl::RecevieAutoTestFromMcu";
constexpr char notifyMcuValue[] = "ActivityManager::notifyMcuValue";
constexpr char handleMcuMsg[] = "ActivityManager::handleMcuMsg";
constexpr char handleCanMsg[] = "ActivityManager::handleCanMsg";
constexpr char preCheck[] = "FirstFrameMonitor::preCheck";
constexpr char releaseInstance[] = "FirstFrameMonitor::releaseInstance";
constexpr char readSettingData[] = "DataSaveControl::readSettingData";
constexpr char initModule[] = "ModuleManager::initModule";
constexpr char getModule[] = "ModuleManager::getModule";
} // namespace JournalCall

#endif
