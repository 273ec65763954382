// The smallest application: one top function that greets the console.
function main() {
    var who = "Kova";
    console.log("Hello from " + who);
}
