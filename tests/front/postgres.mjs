// A throwaway PostgreSQL cluster for the library's tests (pg_server.py),
// stopped by stop() or when the test process ends.
import { spawn } from "node:child_process";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));

export async function startPostgres(sqlFiles = []) {
  const child = spawn("python3", [path.join(here, "pg_server.py"), ...sqlFiles], { stdio: ["pipe", "pipe", "inherit"] });
  const lines = readline.createInterface({ input: child.stdout });
  const first = await new Promise((resolve, reject) => {
    lines.once("line", resolve);
    child.once("exit", (code) => reject(new Error(`pg_server.py ended with status ${code} before the cluster was up`)));
  });
  const { parameters } = JSON.parse(first);
  return {
    parameters,
    stop: () => new Promise((resolve) => {
      if (child.exitCode !== null) return resolve();
      child.once("exit", resolve);
      child.stdin.end();
    }),
  };
}
