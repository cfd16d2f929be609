// The style sheet of every inspector page: a dark theme whose colours are
// custom properties on :root.
#include "inspector/assets.h"

namespace vostrelin::inspector {

const std::string_view STYLE_SHEET = R"css(
:root {
  --bg: #0a1a33;
  --bg-alt: #0f2540;
  --card: #12293f;
  --border: #1f3a5a;
  --primary: #3fb8ff;
  --accent: #ff9547;
  --text: #e9f1fa;
  --text-dim: #a8bdd3;
  --success: #46c27e;
  --warn: #e7c64b;
  --danger: #ff5560;
  --radius: 6px;
}
* { box-sizing: border-box; }
html, body {
  margin: 0;
  padding: 0;
  background: var(--bg);
  color: var(--text);
  font-family: -apple-system, BlinkMacSystemFont, "Segoe UI", Roboto, Ubuntu, sans-serif;
  font-size: 15px;
  line-height: 1.5;
  min-height: 100vh;
}
a { color: var(--accent); text-decoration: none; }
a:hover { text-decoration: underline; }
a:visited { color: var(--accent); }
code { font-family: "SFMono-Regular", Menlo, Consolas, monospace; font-size: 0.9em; }
.app-header {
  background: var(--bg-alt);
  border-bottom: 1px solid var(--border);
  padding: 0.75rem 1.5rem;
  display: flex;
  align-items: center;
  gap: 1.5rem;
}
.app-header .logo {
  display: flex;
  align-items: center;
  gap: 0.6rem;
  color: var(--text);
  font-weight: 600;
  font-size: 1.1rem;
}
.app-header .logo img { height: 32px; width: 32px; border-radius: 50%; }
.app-main { max-width: 1200px; margin: 0 auto; padding: 1.5rem; }
h1 { margin: 0 0 1rem 0; font-size: 1.4rem; font-weight: 600; }
h1 a { color: var(--text-dim); font-weight: 400; font-size: 0.85rem; }
h1 a:hover { color: var(--primary); }
h2 { margin: 0 0 1rem 0; font-size: 1.1rem; font-weight: 600; color: var(--primary); }
h3 { margin: 0 0 0.75rem 0; font-size: 1rem; font-weight: 600; color: var(--primary); }
.card {
  background: var(--card);
  border: 1px solid var(--border);
  border-radius: var(--radius);
  padding: 1.25rem;
  margin-bottom: 1.25rem;
}
.text-dim { color: var(--text-dim); }
table { width: 100%; border-collapse: collapse; }
table th, table td { text-align: left; padding: 0.5rem 0.75rem; border-bottom: 1px solid var(--border); }
table th {
  color: var(--text-dim);
  font-weight: 500;
  font-size: 0.85rem;
  text-transform: uppercase;
  letter-spacing: 0.05em;
}
table tr:last-child td { border-bottom: 0; }
.meta { display: grid; grid-template-columns: repeat(auto-fit, minmax(200px, 1fr)); gap: 0.5rem 1rem; }
.meta-label { color: var(--text-dim); font-size: 0.85rem; margin-right: 0.3rem; }
.status { font-weight: 600; }
.status-ok { color: var(--success); }
.status-redirect { color: var(--warn); }
.status-err { color: var(--danger); }
.status-none { color: var(--text-dim); }
pre.codeblock {
  background: var(--bg);
  border: 1px solid var(--border);
  border-radius: var(--radius);
  padding: 0.75rem;
  font-family: "SFMono-Regular", Menlo, Consolas, monospace;
  font-size: 0.85rem;
  white-space: pre-wrap;
  word-break: break-all;
  max-height: 400px;
  overflow: auto;
  margin: 0.5rem 0 0 0;
}
details > summary { cursor: pointer; color: var(--text-dim); font-size: 0.9rem; padding: 0.35rem 0; }
details > summary:hover { color: var(--primary); }
details + details { margin-top: 0.5rem; }
)css";

}  // namespace vostrelin::inspector
