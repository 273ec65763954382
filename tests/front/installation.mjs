// A throwaway kova installation for the library's tests: the real program
// beside a KOVA.config, modules in a folder of their own, and ways to run
// it as a web server would (CGI, the body on standard input) or with the
// body as an argument.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");

/** The kova program under test: $KOVA, else the release build. */
export const KOVA = path.resolve(process.env.KOVA || path.join(root, "build", "release", "kova"));

export class Installation {
  /** `modules` maps file names to module texts; `config` adds KOVA.config lines. */
  constructor({ modules = {}, config = "" } = {}) {
    if (!fs.existsSync(KOVA)) throw new Error(`kova not found at ${KOVA} (set KOVA)`);
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "kova-front-"));
    this.program = path.join(this.dir, "kova");
    fs.symlinkSync(KOVA, this.program);
    fs.mkdirSync(path.join(this.dir, "modules"));
    for (const [name, text] of Object.entries(modules)) {
      fs.writeFileSync(path.join(this.dir, "modules", name), text);
    }
    fs.writeFileSync(path.join(this.dir, "KOVA.config"),
      `MODULE_DIR = ${path.join(this.dir, "modules")}\nLOGFILE = ${path.join(this.dir, "journal.log")}\n${config}`);
  }

  /** Runs one CGI request; returns kova's standard output (header and frames) as bytes. */
  cgi(body, { address = "127.0.0.1" } = {}) {
    const bytes = Buffer.from(body, "utf8");
    return execFileSync(this.program, [], {
      input: bytes,
      env: { ...passedEnvironment(), CONTENT_LENGTH: String(bytes.length), REMOTE_ADDR: address },
      maxBuffer: 64 * 1024 * 1024,
    });
  }

  /** Runs kova with the body and variables as arguments: accepted without a token. */
  withArguments(body, variables, { address = "127.0.0.1" } = {}) {
    return execFileSync(this.program, [body, variables], {
      env: { ...passedEnvironment(), REMOTE_ADDR: address },
      maxBuffer: 64 * 1024 * 1024,
    });
  }

  remove() {
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Sanitizer settings reach the program; nothing else of the test's environment.
function passedEnvironment() {
  const env = { PATH: process.env.PATH || "/usr/bin:/bin", TZ: "UTC" };
  for (const key of ["ASAN_OPTIONS", "UBSAN_OPTIONS"]) if (process.env[key]) env[key] = process.env[key];
  return env;
}
