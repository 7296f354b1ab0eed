#include "app/form_definition.h"

namespace kelvo {

namespace {

TFont Tahoma(int pixelHeight) { return TFont{u"Tahoma", pixelHeight, false, clWindowText}; }

TControlDefinition PanelDefinition(std::u16string name, TBounds bounds, bool visible, bool ctl3D) {
  TControlDefinition panel;
  panel.kind = TControlKind::Panel;
  panel.name = std::move(name);
  panel.bounds = bounds;
  panel.visible = visible;
  panel.ctl3D = ctl3D;
  return panel;
}

TControlDefinition ChildDefinition(TControlKind kind, std::u16string name, std::u16string parent, TBounds bounds,
                                   std::u16string caption, std::optional<TFont> font, TColor color = clWhite) {
  TControlDefinition child;
  child.kind = kind;
  child.name = std::move(name);
  child.parent = std::move(parent);
  child.bounds = bounds;
  child.caption = std::move(caption);
  child.font = std::move(font);
  child.color = color;
  return child;
}

// An edit in the light 3-D colour, named for screen readers after the label just before it; Enter
// in it presses `defaultButton`.
TControlDefinition EditDefinition(std::u16string name, std::u16string parent, TBounds bounds, std::u16string text,
                                  std::optional<TFont> font, std::u16string accessibleName,
                                  std::u16string defaultButton) {
  TControlDefinition edit =
      ChildDefinition(TControlKind::Edit, std::move(name), std::move(parent), bounds, std::move(text), std::move(font),
                      cl3DLight);
  edit.accessibleName = std::move(accessibleName);
  edit.defaultButton = std::move(defaultButton);
  return edit;
}

TFormDefinition Build() {
  TFormDefinition form;
  form.name = u"Form1";
  form.caption = u"Kelvo";
  form.color = clWhite;
  form.font = Tahoma(11);
  auto& c = form.controls;
  using enum TControlKind;

  // Header, always shown: the logo with the link drawn over it, and the two panel switches.
  c.push_back(PanelDefinition(u"Panel2", {0, 0, 392, 121}, true, false));
  TControlDefinition logo = ChildDefinition(Image, u"Image1", u"Panel2", {4, 8, 241, 113}, u"", std::nullopt);
  logo.picture = u"logo.gif";
  logo.accessibleName = u"Kelvo";  // what it shows: the operator's name
  c.push_back(logo);
  TControlDefinition link = ChildDefinition(Label, u"Label1", u"Panel2", {126, 25, 95, 16}, kWebAddress,
                                            TFont{u"Tahoma", 13, true, clBlue});
  link.link = true;
  c.push_back(link);
  c.push_back(ChildDefinition(Button, u"Button1", u"Panel2", {251, 18, 138, 33}, u"Создать Соединение", Tahoma(13)));
  c.push_back(ChildDefinition(Button, u"Button2", u"Panel2", {251, 73, 138, 33}, u"Пинг", Tahoma(13)));

  // Ping panel; the two content panels share one place, 6 pixels below the header. Enter in the
  // address starts the run.
  c.push_back(PanelDefinition(u"Panel1", {0, 127, 392, 185}, false, false));
  c.push_back(ChildDefinition(Label, u"Label4", u"Panel1", {24, 0, 55, 19}, u"Адрес :", Tahoma(16)));
  c.push_back(EditDefinition(u"HostEdit", u"Panel1", {24, 21, 161, 25}, kDefaultPingHost, Tahoma(16), u"Адрес",
                             u"Button3"));
  c.push_back(ChildDefinition(Button, u"Button3", u"Panel1", {216, 4, 81, 42}, u"Старт", Tahoma(13)));
  c.push_back(ChildDefinition(Button, u"Button4", u"Panel1", {303, 4, 82, 42}, u"Стоп", Tahoma(13)));
  TControlDefinition output = ChildDefinition(Memo, u"DisplayMemo", u"Panel1", {5, 52, 381, 125}, u"", std::nullopt);
  output.accessibleName = u"Результаты пинга";
  c.push_back(output);

  // VPN panel. Enter in either field creates the connection.
  c.push_back(PanelDefinition(u"VPN", {0, 127, 392, 194}, false, true));
  c.push_back(ChildDefinition(Label, u"Label2", u"VPN", {21, 10, 56, 19}, u"Логин :", Tahoma(16)));
  c.push_back(EditDefinition(u"Edit1", u"VPN", {13, 35, 164, 21}, u"", std::nullopt, u"Логин", u"Button5"));
  c.push_back(ChildDefinition(Label, u"Label3", u"VPN", {208, 10, 65, 19}, u"Пароль :", Tahoma(16)));
  c.push_back(EditDefinition(u"Edit2", u"VPN", {200, 35, 164, 21}, u"", std::nullopt, u"Пароль", u"Button5"));
  c.push_back(ChildDefinition(Button, u"Button5", u"VPN", {119, 94, 153, 59}, u"Создать", Tahoma(16)));
  return form;
}

}  // namespace

const TFormDefinition& MainFormDefinition() {
  static const TFormDefinition definition = Build();
  return definition;
}

}  // namespace kelvo
