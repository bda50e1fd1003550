// The three windows' layouts. Within each container the controls are listed top-most first.

#include "VantroConfig.h"
#include "ui/shell/Layout.h"

namespace {

using K = ControlKind;

const char* const kMain = "";
const char* const kPictureBox = "picBackground";
const char* const kLogin = "frame_login";
const char* const kCompose = "frame_txt";
const char* const kAddress = "frame_address";
const char* const kThanks = "frame_ty";

} // namespace

const WindowLayout& MainWindowLayout() {
    static const WindowLayout layout{
        "frm_quorvale",
        "Vantro",
        4200,
        5310,
        "#C0C0C0",
        {
            // The window
            {"pic_min", K::PictureButton, kMain, "", 3240, 330, 255, 255, 34, Plain, 0, "min.gif", "", "", "Minimise"},
            {"pic_close", K::PictureButton, kMain, "", 3480, 330, 255, 255, 27, Plain, 0, "close.gif", "", "", "Close"},
            {"pic_about", K::PictureButton, kMain, "", 240, 330, 975, 255, 38, Plain, 0, "about_button.gif", "", "",
             "About Us"},
            {"frame_txt", K::Panel, kMain, "", 240, 840, 3395, 4095, 18, Hidden},
            {"frame_ty", K::Panel, kMain, "", 240, 840, 3395, 4050, 40, Hidden},
            {"frame_login", K::Panel, kMain, "", 240, 840, 3395, 4050, 0},
            {"picBackground", K::PictureBox, kMain, "", 0, 0, 3900, 5100, 28, Plain, 0, "main_background.gif",
             "#FFFFFF", "#FFFFFF"},
            // On the background picture
            {"pic_ab", K::PictureButton, kPictureBox, "", 1200, 330, 975, 255, 39, Hidden, 0, "ab_button.gif", "", "",
             "Address Book"},
            // Login panel
            {"btn_login", K::Button, kLogin, "Login", 960, 2040, 1335, 375, 17, Flat | DefaultButton, 0, "", "#C0C0C0"},
            {"tb_password", K::TextBox, kLogin, "", 1800, 1200, 1500, 285, 10, Flat | PasswordChar},
            {"tb_login", K::TextBox, kLogin, "", 1800, 480, 1500, 285, 6, Flat, 10},
            {"lbl_msg_login", K::MessageLabel, kLogin, "", 120, 1560, 3135, 495, 26},
            {"Label13", K::Label, kLogin, "(We add new functionality all the time!)", 360, 3600, 2775, 255, 36},
            {"Label18", K::LinkLabel, kLogin, "CHECK FOR UPDATES", 720, 3360, 2175, 255, 35, Bold | Underline},
            {"Label8", K::Label, kLogin, "Forgot password?", 120, 2880, 1455, 255, 16},
            {"Label7", K::LinkLabel, kLogin, "Retrieve your password", 1560, 2880, 1695, 255, 15, Underline},
            {"Label6", K::Label, kLogin, "Don't have a login?", 120, 2520, 1455, 255, 14},
            {"Label5", K::Label, kLogin, "(i.e. 4125551212)", 1800, 840, 1455, 255, 13},
            {"Label4", K::LinkLabel, kLogin, "Register for Free", 1560, 2520, 1335, 255, 12, Underline},
            {"Label3", K::Label, kLogin, "Password", 120, 1200, 1335, 255, 8},
            {"Label2", K::Label, kLogin, "Login/Phone Number", 120, 480, 1575, 375, 4},
            {"Label1", K::Label, kLogin, "Login", 120, 0, 615, 255, 2, Bold},
            // Compose panel
            {"frame_address", K::Panel, kCompose, "", 120, 240, 3255, 375, 1},
            {"btn_send", K::Button, kCompose, "Send", 1200, 3670, 1095, 375, 11, Flat},
            {"cbl_carrier", K::DropDownList, kCompose, "", 1680, 1080, 1620, 315, 5},
            {"tb_chars", K::TextBox, kCompose, "115", 1440, 2760, 615, 285, 24, Flat | Disabled},
            {"tb_message", K::MultiLineTextBox, kCompose, "", 120, 2040, 3165, 675, 9, Flat, 160},
            {"tb_subject", K::TextBox, kCompose, "", 1680, 1440, 1620, 285, 7, Flat, 50},
            {"tb_phone", K::TextBox, kCompose, "", 1680, 720, 1620, 285, 3, Flat, 10},
            {"cbl_ab", K::DropDownList, kCompose, "", 840, 720, 2355, 315, 33, Hidden, 0, "", "", "", "Friend"},
            {"Label9", K::Label, kCompose, "send FREE text messages!", 1080, 0, 2295, 255, 37, Bold},
            {"lbl_ab", K::Label, kCompose, "To:", 120, 720, 375, 375, 32, Hidden},
            {"Label16", K::Label, kCompose, "Characters Left:", 120, 2760, 1215, 255, 23},
            {"Label15", K::Label, kCompose, "Message", 120, 1800, 735, 255, 22},
            {"Label14", K::Label, kCompose, "Subject", 120, 1440, 615, 255, 21},
            {"lbl_carrier", K::Label, kCompose, "To Carrier", 120, 1080, 855, 255, 20},
            {"lbl_msg", K::MessageLabel, kCompose, "", 120, 3120, 3015, 495, 25},
            {"lbl_phone", K::Label, kCompose, "To Phone Number", 120, 720, 1455, 255, 19},
            // Recipient mode
            {"option_new", K::OptionButton, kAddress, "New", 2520, 120, 650, 195, 30, Selected},
            {"option_ab", K::OptionButton, kAddress, "Friend in Address Book", 360, 120, 2055, 195, 29},
            {"Label12", K::Label, kAddress, "To:", 0, 120, 375, 255, 31, Bold},
            // Thank-you panel
            {"btn_again", K::Button, kThanks, "Send another free text message", 360, 2760, 2535, 375, 44},
            {"lbl_ty_ad", K::Label, kThanks, ".", 120, 840, 3135, 1215, 47},
            {"Label23", K::LinkLabel, kThanks, "Check for Updates", 960, 3360, 1455, 255, 45, Underline},
            {"Label11", K::Label, kThanks, "(We add new functionality all the time!)", 360, 3720, 2775, 255, 43},
            {"Label26", K::Label, kThanks, "Thank You", 120, 0, 1095, 255, 42, Bold},
            {"lbl_ty_link", K::LinkLabel, kThanks, ".", 120, 2160, 3135, 375, 46, Hidden},
            {"lbl_ty", K::Label, kThanks, ".", 120, 360, 3135, 375, 41},
        },
    };
    return layout;
}

const WindowLayout& AddressBookWindowLayout() {
    const char* const window = "";
    const char* const background = "pic_background";
    static const WindowLayout layout{
        "frm_ab",
        "Address Book",
        6135,
        3135,
        "#C0C0C0",
        {
            {"pic_close", K::PictureButton, window, "", 5760, 120, 255, 255, 13, Plain, 0, "close.gif", "", "",
             "Close"},
            {"pic_background", K::PictureBox, window, "", 0, 0, 6135, 3135, 0, Plain, 0, "ab_background.gif",
             "#E0E0E0"},
            {"btn_save", K::Button, background, "Save", 4680, 2640, 1215, 375, 7, Flat | Hidden},
            {"lb_ab", K::ListBox, background, "", 240, 600, 1695, 2010, 6, Plain, 0, "", "", "", "Friends"},
            {"tb_name", K::TextBox, background, "", 4080, 480, 1815, 375, 5, Flat, 50},
            {"tb_phone", K::TextBox, background, "", 4080, 960, 1815, 375, 4, Flat, 10},
            {"cbl_carrier", K::DropDownList, background, "", 4080, 1440, 1815, 315, 3, Flat},
            {"btn_add", K::Button, background, "Add New", 600, 240, 975, 255, 2},
            {"btn_delete", K::Button, background, "Delete", 600, 2640, 975, 255, 1, Hidden, 0, "", "#FF0000"},
            {"lbl_name", K::Label, background, "Friend's Name", 2040, 480, 1095, 255, 12},
            {"lbl_phone", K::Label, background, "Friend's Mobile Number", 2040, 960, 1695, 255, 11},
            {"lbl_carrier", K::Label, background, "Friend's Carrier", 2040, 1440, 1095, 255, 10},
            {"lbl_id", K::Label, background, "", 4080, 240, 375, 255, 9},
            // Status text in the ordinary label colour, unlike the main window's red messages.
            {"lbl_msg", K::Label, background, "", 2040, 1920, 3855, 615, 8},
        },
    };
    return layout;
}

const WindowLayout& AboutWindowLayout() {
    const char* const window = "";
    const char* const background = "Picture1";
    static const WindowLayout layout{
        "frm_about",
        "About our company",
        2385,
        3120,
        "",
        {
            {"Picture1", K::PictureBox, window, "", 0, 0, 2415, 3135, 0, Plain, 0, "about_background.gif", "#E0E0E0"},
            {"pic_close", K::PictureButton, background, "", 2040, 120, 255, 255, 4, Plain, 0, "close.gif", "", "",
             "Close"},
            {"Label8", K::Label, background, std::string("Support: ") + config::SupportEmail, 240, 1320, 1815, 495, 9},
            {"Label7", K::Label, background,
             std::string("Advertising/Sponsorship Opportunities: ") + config::AdvertisingEmail, 240, 1800, 1815, 615,
             8},
            {"Label6", K::LinkLabel, background, config::ServiceHostName, 240, 2520, 1455, 255, 7, Underline},
            {"Label5", K::LinkLabel, background, config::MakerHostName, 240, 2760, 1695, 255, 6, Underline},
            {"Label4", K::Label, background, "About Vantro", 240, 120, 1335, 255, 5, Bold},
            {"Label1", K::Label, background, std::string("Version: ") + config::Version, 240, 360, 855, 255, 3},
            {"Label2", K::Label, background, config::LegalNotice, 240, 600, 1575, 255, 2},
            {"Label3", K::Label, background, std::string("General Info: ") + config::GeneralInfoEmail, 240, 840, 1815,
             495, 1},
        },
    };
    return layout;
}
