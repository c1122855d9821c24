#include "res/CQUpdateStrings.h"

#include <cstdlib>
#include <cstring>

namespace qrv {
namespace {

struct Entry {
  uint32_t id;
  const char* english;
  const char* korean;
};

// Texts as the program has always shown them (typing slips included, since
// administrators' scripts and support notes quote them). 142 had no English
// text and left English users with an empty box; it has one now.
constexpr Entry kStrings[] = {
    {101, "About Qorvane Update(&A)...", "Qorvane Update 정보(&A)..."},
    {102, "Product Name", "제품 이름"},
    {103, "Current Version", "현재 버전"},
    {104, "Latest Version", "최신 버전"},
    {106, "Stop download?", "다운로드를 중지하시겠습니까?"},
    {107, "FTP Address(&P):", "FTP 주소(&P):"},
    {108, "Network Path(&P):", "네트워크 경로(&P):"},
    {111, "Downloading : ", "다운로드 중 : "},
    {112, "Copying : ", "복사 중 : "},
    {113, "Deleting...", "삭제 중..."},
    {114, "Wait...", "잠시 기다려 주십시오..."},
    {115, "Find Network Folder", "네트워크 폴더 찾기"},
    {116, "Update available.", "업데이트가 있습니다."},
    {119, "Download complete.\r\nPlease press this to update.",
     "다운로드가 끝났습니다.\r\n업데이트하려면 여기를 누르십시오."},
    {120, "Update Complete.", "업데이트가 끝났습니다."},
    {121, "Stop copying files?", "파일 복사를 중지하시겠습니까?"},
    {122, "Update now available.", "지금 업데이트할 수 있습니다."},
    {123, "Status : ", "상태 : "},
    {126, "Select product to update.", "업데이트할 제품을 선택하십시오."},
    {127, "Canceling update....", "업데이트를 취소하는 중...."},
    {128, "Settings", "설정"},
    {129, "Unable to connect to the server.", "서버에 연결할 수 없습니다."},
    {130, "Update aborted.\r\nPlease press this to restart.",
     "업데이트가 중단되었습니다.\r\n다시 시작하려면 여기를 누르십시오."},
    {131, "Invalid server path. Enter information again.", "서버 경로가 올바르지 않습니다. 정보를 다시 입력하십시오."},
    {132, "Invalid user ID for connecting to the server. Enter information again.",
     "서버에 연결할 사용자 ID가 올바르지 않습니다. 정보를 다시 입력하십시오."},
    {133, "Invalid user password for connecting to the server. Enter information again.",
     "서버에 연결할 사용자 암호가 올바르지 않습니다. 정보를 다시 입력하십시오."},
    {134, "You have to restart the system to verify updated programs. Would you like to restart?",
     "업데이트된 프로그램을 적용하려면 시스템을 다시 시작해야 합니다. 지금 다시 시작하시겠습니까?"},
    {135, "System restart failed. Please restart the system after quitting the program.",
     "시스템을 다시 시작하지 못했습니다. 프로그램을 끝낸 뒤 시스템을 다시 시작하십시오."},
    {136, "Find Download Folder", "다운로드 폴더 찾기"},
    {138, "Downloading %s...", "%s 다운로드 중..."},
    {139, "Copying %s...", "%s 복사 중..."},
    {140, "Invalid download path.\r\nSet a path again.", "다운로드 경로가 올바르지 않습니다.\r\n경로를 다시 지정하십시오."},
    {141, "Updated is not finished.\r\nExit Automatic Update?",
     "업데이트가 끝나지 않았습니다.\r\n자동 업데이트를 끝내시겠습니까?"},
    {142, "The network is not connected.\r\nCheck the network connection and try again.",
     "네트워크에 연결되어 있지 않습니다.\r\n네트워크 연결을 확인한 뒤 다시 시도하십시오."},
    {143, "Failed to complete update.", "업데이트를 끝내지 못했습니다."},
    {144, "Connection to server faild.", "서버에 연결하지 못했습니다."},
    {145, "Update Aborted.", "업데이트가 중단되었습니다."},
    {146, "Cannot find files on the server. A temporary network failure might have occurred.",
     "서버에서 파일을 찾을 수 없습니다. 일시적인 네트워크 장애일 수 있습니다."},
    {147, "The specified network path\n\ndoes not have files to update.",
     "지정한 네트워크 경로에\n\n업데이트할 파일이 없습니다."},
    {148, "Start update.", "업데이트를 시작합니다."},
    {149, "Once Every Ten Days", "10일마다 한 번"},
    {150, "Once a Month", "한 달에 한 번"},
    {151, "Once Every Three Months", "세 달에 한 번"},
    {152, "Once a Day[TEST]", "하루에 한 번[TEST]"},
    {153, "Update Aborted.", "업데이트가 중단되었습니다."},
    {154, "An error occurred while updating the file. Update will be canceled.",
     "파일을 업데이트하는 중 오류가 생겼습니다. 업데이트를 취소합니다."},
    {155, "An error occurred while updating the file. Update will be canceled.",
     "파일을 업데이트하는 중 오류가 생겼습니다. 업데이트를 취소합니다."},
    {157, "Failed to receive update file information from the server.\r\nTry again later.",
     "서버에서 업데이트 파일 정보를 받지 못했습니다.\r\n나중에 다시 시도하십시오."},
    {158,
     "If you are using Windows 98 series, you must download update files from the Qorvane home page (%s) to "
     "proceed with update.",
     "Windows 98 계열을 사용하고 있다면 Qorvane 홈페이지(%s)에서 업데이트 파일을 다운로드해야 업데이트할 수 "
     "있습니다."},
    {159, "Canceling :\xC2\xA0", "취소 중 :\xC2\xA0"},
    {160,
     "You have to be an administrator or need to log on as an administrator to run Qorvane Update.\nFor more "
     "information, contact your administrator.",
     "Qorvane Update를 실행하려면 관리자이거나 관리자로 로그온해야 합니다.\n자세한 내용은 시스템 관리자에게 "
     "문의하십시오."},
    {161, "Update finished.", "업데이트가 끝났습니다."},
    {162, "Qorvane Update can update QORVANE. INC, files by the digital signatures.\nQorvane Update will close.",
     "Qorvane Update는 디지털 서명이 있는 QORVANE. INC, 파일만 업데이트할 수 있습니다.\nQorvane Update를 "
     "끝냅니다."},
    // Texts of our own, for what the program reports beyond the old ones.
    {180, "%s was not updated: its update information could not be fetched from the server.\r\nIt will be "
          "offered again at the next update.",
     "%s 제품은 업데이트되지 않았습니다. 서버에서 업데이트 정보를 받지 못했습니다.\r\n다음 업데이트 때 다시 "
     "제공됩니다."},
    {181, "Not updated : ", "업데이트 안 됨 : "},
    {190, "The settings store is damaged or unreadable; nothing was updated or changed.\r\n%s",
     "설정 저장소가 손상되었거나 읽을 수 없습니다. 아무것도 업데이트하거나 바꾸지 않았습니다.\r\n%s"},
    {191, "Another update is already running (%s).\r\nTry again when it has finished.",
     "다른 업데이트가 이미 실행 중입니다(%s).\r\n끝난 뒤 다시 시도하십시오."},
    {192, "These products were not updated: %s", "다음 제품은 업데이트되지 않았습니다: %s"},
    {193, "Qorvane Update cannot start: %s", "Qorvane Update를 시작할 수 없습니다: %s"},
    {194, "The password is too long to be stored. Use a shorter password.",
     "암호가 너무 길어 저장할 수 없습니다. 더 짧은 암호를 사용하십시오."},
    // Refusals of the signed update information: nothing is installed.
    {300,
     "The update information on the server is not signed, and this computer accepts only signed update "
     "information.\r\nNothing was updated.",
     "서버의 업데이트 정보에 서명이 없습니다. 이 컴퓨터는 서명된 업데이트 정보만 받습니다.\r\n아무것도 "
     "업데이트하지 않았습니다."},
    {301,
     "The signature of %s is not valid or is not QORVANE. INC's.\r\nThe update information may have been "
     "tampered with; nothing was updated.",
     "%s의 서명이 올바르지 않거나 QORVANE. INC의 서명이 아닙니다.\r\n업데이트 정보가 변조되었을 수 "
     "있으므로 아무것도 업데이트하지 않았습니다."},
    {302,
     "The server offers an older release than this computer has already accepted (offered / accepted: "
     "%s).\r\nAn older release may bring back fixed security holes; nothing was updated.",
     "서버가 이 컴퓨터가 이미 받은 것보다 오래된 릴리스를 제공합니다(제공 / 기존: %s).\r\n오래된 "
     "릴리스에는 이미 고친 보안 취약점이 있을 수 있으므로 아무것도 업데이트하지 않았습니다."},
    {303,
     "The update information on the server expired at %s (UTC).\r\nNewer updates may be held back from "
     "this computer; nothing was updated.",
     "서버의 업데이트 정보는 %s(UTC)에 만료되었습니다.\r\n새 업데이트가 이 컴퓨터에 전달되지 않고 있을 수 "
     "있으므로 아무것도 업데이트하지 않았습니다."},
    {304,
     "%s\r\ndoes not match the size or hash listed in the signed update information; nothing was updated.",
     "%s\r\n파일이 서명된 업데이트 정보에 적힌 크기나 해시와 맞지 않으므로 아무것도 업데이트하지 "
     "않았습니다."},
    {305,
     "The signed update information is incomplete: %s.\r\nNothing was updated.",
     "서명된 업데이트 정보가 완전하지 않습니다: %s.\r\n아무것도 업데이트하지 않았습니다."},
    // Texts of the windows' forms, numbered by form (form id * 100 + n);
    // a form names each of its texts by number, so this table stays the one
    // place that holds them.
    {10001, "OK(&D)", "확인(&D)"},
    {10002, "Version", "버전"},
    {10003, "Copyright (C) QORVANE. INC. All rights reserved.", "Copyright (C) QORVANE. INC. All rights reserved."},
    {10701, "You can update the following products.", "다음 제품을 업데이트할 수 있습니다."},
    {10702, "Product to Update(&L):", "업데이트할 제품(&L):"},
    {10703, "You are using the latest version.", "최신 버전을 사용하고 있습니다."},
    {10704, "Close", "닫기"},
    {10705, "Update Content:", "업데이트 내용:"},
    {10706, "Update(&U)", "업데이트(&U)"},
    {10707, "Options(&S)...", "옵션(&S)..."},
    {10708, "Homepage(&I)", "홈페이지(&I)"},
    // The prompt for no selection has always been Korean in every language.
    {10709, "업데이트 정보를 확인할 제품을 선택하세요", "업데이트 정보를 확인할 제품을 선택하세요"},
    {10901, "Progress Status:", "진행 상태:"},
    {10902, "Preparing", "준비 중"},
    {10903, "Cancel(&C)", "취소(&C)"},
    {10904, "Progress", "진행률"},
    {10905, "Current file", "현재 파일"},
    {13501, "Apply(&D)", "적용(&D)"},
    {13502, "Cancel", "취소"},
    {13503, "Update Method", "업데이트 방법"},
    {13504, "Update through the Internet(&I)", "인터넷으로 업데이트(&I)"},
    {13505, "Update through Shared Folder of Network Drive(&S)", "네트워크 드라이브의 공유 폴더로 업데이트(&S)"},
    {13506, "Update through the FTP server(&R)", "FTP 서버로 업데이트(&R)"},
    {13507, "Server Information", "서버 정보"},
    {13508, "User ID(&U):", "사용자 ID(&U):"},
    {13509, "Password(&A):", "암호(&A):"},
    {13510, "Port Number(&O):", "포트 번호(&O):"},
    {13511, "Auto Update Settings", "자동 업데이트 설정"},
    {13512, "Users Run Update Program(&F)", "사용자가 업데이트 프로그램 실행(&F)"},
    {13513, "Use Auto Update(&N)", "자동 업데이트 사용(&N)"},
    {13514, "Cycle(&T): ", "주기(&T): "},
    {13515, "Set Download Path", "다운로드 경로 설정"},
    {13516, "Path(&H):", "경로(&H):"},
    {13517, "Default(&E)", "기본값(&E)"},
    {13518, "Browse for the network folder", "네트워크 폴더 찾아보기"},
    {13519, "Browse for the download folder", "다운로드 폴더 찾아보기"},
    {14001, "Starting Update.", "업데이트를 시작하는 중입니다."},
    {14002, "Hide(&Y)", "숨기기(&Y)"},
    {14003, "Update progress", "업데이트 진행률"},
    {16201, "Finding components to update.", "업데이트할 구성 요소를 찾는 중입니다."},
    {32772, "Exit(&X)", "끝내기(&X)"},
    {32773, "About Qorvane Update...", "Qorvane Update 정보..."},
    {32776, "Show(&S)", "보기(&S)"},
    {57344, "Qorvane Update", "Qorvane Update"},
};

const Entry* Find(uint32_t id) {
  for (const Entry& e : kStrings) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

}  // namespace

std::string CQUpdateStrings::Get(uint32_t id) { return Get(id, CurrentLanguage()); }

std::string CQUpdateStrings::Get(uint32_t id, Language language) {
  const Entry* e = Find(id);
  if (e == nullptr) return {};
  return language == Language::kKorean ? e->korean : e->english;
}

bool CQUpdateStrings::Has(uint32_t id) { return Find(id) != nullptr; }

CQUpdateStrings::Language CQUpdateStrings::CurrentLanguage() {
  // The usual precedence of the locale variables for messages.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return std::strncmp(value, "ko", 2) == 0 ? Language::kKorean : Language::kEnglish;
    }
  }
  return Language::kEnglish;
}

}  // namespace qrv
