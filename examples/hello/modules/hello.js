// The smallest application. The front end calls main(); the request's
// S record gives the global `who`, the configuration gives `title`.
function main() {
    sendToFront("title", title);
    sendToFront("greeting", "Hello, " + who + "!");
    sendToFront("items", [1, 2.5, "three", {name: "four"}]);
    console.log("greeted " + who);  // written to the journal
}
